// The schema of the bucket index in the storage service: the schema
// "Bucket" with the tables "buckets" (id, filename), "bucket_attributes"
// (id, name, value) and, from version 2 on, "bucket_files" (id, name, type,
// sha256: what the upload said of the file, one row per bucket that has
// any). The store declares it at every start; the storage benchmarks, the
// fuzz targets and the tests declare the same text, so they exercise
// exactly the tables the service uses.
//
// Versions only add: each document holds every table and column of the
// ones before it, so the storage service takes a store of any older
// version to the current one by adding what is missing, in order.
//
// Thread-safety: constants.
#pragma once

namespace bucket_schema {

constexpr const char* kName = "Bucket";
constexpr const char* kBuckets = "buckets";
constexpr const char* kAttributes = "bucket_attributes";
constexpr const char* kFiles = "bucket_files";

// Version 1: the two tables of ids, paths and attributes.
constexpr const char* kDocumentVersion1 =
    "{ \"schema\" : \"Bucket\", \"version\" : 1, \"service\" : \"bucket\", \"tables\" : [ { "
    "\"name\" : \"buckets\", \"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", "
    "\"size\" : 10, \"key\" : true }, { \"column\" : \"filename\", \"type\" : \"varchar\", "
    "\"size\" : 255 } ], \"index\" : [ \"col2\" ] }, { \"name\" : \"bucket_attributes\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\" }, { \"column\" : \"name\", "
    "\"type\" : \"varchar\", \"size\" : 80 }, { \"column\" : \"value\", \"type\" : \"varchar\", "
    "\"size\" : 80 } ], \"index\" : [ \"name\" ] } ] }";

constexpr int kVersion = 2;

// The current schema document, as sent to the storage service: version 1
// and the table "bucket_files".
constexpr const char* kDocument =
    "{ \"schema\" : \"Bucket\", \"version\" : 2, \"service\" : \"bucket\", \"tables\" : [ { "
    "\"name\" : \"buckets\", \"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", "
    "\"size\" : 10, \"key\" : true }, { \"column\" : \"filename\", \"type\" : \"varchar\", "
    "\"size\" : 255 } ], \"index\" : [ \"col2\" ] }, { \"name\" : \"bucket_attributes\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\" }, { \"column\" : \"name\", "
    "\"type\" : \"varchar\", \"size\" : 80 }, { \"column\" : \"value\", \"type\" : \"varchar\", "
    "\"size\" : 80 } ], \"index\" : [ \"name\" ] }, { \"name\" : \"bucket_files\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", \"key\" : true }, { "
    "\"column\" : \"name\", \"type\" : \"varchar\", \"size\" : 255 }, { \"column\" : "
    "\"type\", \"type\" : \"varchar\", \"size\" : 255 }, { \"column\" : \"sha256\", "
    "\"type\" : \"varchar\", \"size\" : 64 } ] } ] }";

}  // namespace bucket_schema
