#include "storage_documents.h"

#include "json_util.h"

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

TableWrite insertWrite(const std::string& schema, const std::string& table,
                       const InsertValues& values) {
    return {"insert", schema, table, insertDocument(values)};
}

TableWrite updateWrite(const std::string& schema, const std::string& table,
                       const InsertValues& values, const Where& where) {
    return {"update", schema, table, updateDocument(values, where)};
}

TableWrite deleteWrite(const std::string& schema, const std::string& table, const Query& query) {
    return {"delete", schema, table, query.toJSON()};
}

std::string transactionDocument(const std::vector<TableWrite>& writes) {
    std::string body = "{\"statements\":[";
    for (size_t i = 0; i < writes.size(); ++i) {
        const TableWrite& write = writes[i];
        body += std::string(i == 0 ? "" : ",") + "{\"operation\":\"" + write.operation +
                "\",\"schema\":\"" + JSONescape(write.schema) + "\",\"table\":\"" +
                JSONescape(write.table) + "\",\"request\":" + write.document + "}";
    }
    return body + "]}";
}

}  // namespace storage_documents
