// The schema of the bucket index in the storage service: the schema
// "Bucket" with the tables "buckets" (id, filename) and "bucket_attributes"
// (id, name, value). The store declares it at every start; the storage
// benchmarks, the fuzz targets and the tests declare the same text, so they
// exercise exactly the tables the service uses.
//
// Thread-safety: constants.
#pragma once

namespace bucket_schema {

constexpr const char* kName = "Bucket";
constexpr const char* kBuckets = "buckets";
constexpr const char* kAttributes = "bucket_attributes";

// The schema document, as sent to the storage service.
constexpr const char* kDocument =
    "{ \"schema\" : \"Bucket\", \"version\" : 1, \"service\" : \"bucket\", \"tables\" : [ { "
    "\"name\" : \"buckets\", \"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", "
    "\"size\" : 10, \"key\" : true }, { \"column\" : \"filename\", \"type\" : \"varchar\", "
    "\"size\" : 255 } ], \"index\" : [ \"col2\" ] }, { \"name\" : \"bucket_attributes\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\" }, { \"column\" : \"name\", "
    "\"type\" : \"varchar\", \"size\" : 80 }, { \"column\" : \"value\", \"type\" : \"varchar\", "
    "\"size\" : 80 } ], \"index\" : [ \"name\" ] } ] }";

}  // namespace bucket_schema
