#include "storage_documents.h"

namespace storage_documents {

std::string insertDocument(const InsertValues& values) {
    return "{\"values\":" + values.toJSON() + "}";
}

std::string insertRowsDocument(const std::vector<InsertValues>& rows) {
    std::string body = "{\"inserts\":[";
    for (size_t i = 0; i < rows.size(); ++i) {
        body += (i == 0 ? "" : ",") + rows[i].toJSON();
    }
    return body + "]}";
}

std::string updateDocument(const InsertValues& values, const Where& where) {
    return "{\"values\":" + values.toJSON() + ",\"where\":" + where.toJSON() + "}";
}

}  // namespace storage_documents
