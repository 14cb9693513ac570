// The JSON request documents of the storage protocol's table writes
// (docs/storage-api.md), built from the query classes. StorageClient sends
// them; the in-process test storage reads the very same documents, so both
// go through one translation.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <vector>

#include "query.h"
#include "table_storage.h"

namespace storage_documents {

// { "values" : { ... } }: one row to insert.
std::string insertDocument(const InsertValues& values);
// { "inserts" : [ { ... }, ... ] }: several rows to insert in one transaction.
std::string insertRowsDocument(const std::vector<InsertValues>& rows);
// { "values" : { ... }, "where" : { ... } }
std::string updateDocument(const InsertValues& values, const Where& where);

// The writes of a transaction, as TableStorage::transact takes them.
TableWrite insertWrite(const std::string& schema, const std::string& table,
                       const InsertValues& values);
TableWrite updateWrite(const std::string& schema, const std::string& table,
                       const InsertValues& values, const Where& where);
TableWrite deleteWrite(const std::string& schema, const std::string& table, const Query& query);

// { "statements" : [ { "operation" : ..., "schema" : ..., "table" : ...,
//   "request" : <document> }, ... ] }
std::string transactionDocument(const std::vector<TableWrite>& writes);

}  // namespace storage_documents
