// The schema of the bucket index in the storage service: the schema
// "Bucket" with the tables "buckets" (id, filename) and "bucket_attributes"
// (id, name, value), and, from version 2, "bucket_changes" (seq, time, op,
// bucket, attributes, size, etag: the change feed, change_feed.h). The store declares it at every
// start; the storage benchmarks, the fuzz targets and the tests declare the same text, so they
// exercise exactly the tables the service uses.
//
// Thread-safety: constants.
#pragma once

namespace bucket_schema {

constexpr const char* kName = "Bucket";
constexpr const char* kBuckets = "buckets";
constexpr const char* kAttributes = "bucket_attributes";
constexpr const char* kChanges = "bucket_changes";

// The schema document, as sent to the storage service.
constexpr const char* kDocument =
    "{ \"schema\" : \"Bucket\", \"version\" : 2, \"service\" : \"bucket\", \"tables\" : [ { "
    "\"name\" : \"buckets\", \"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", "
    "\"size\" : 10, \"key\" : true }, { \"column\" : \"filename\", \"type\" : \"varchar\", "
    "\"size\" : 255 } ], \"index\" : [ \"col2\" ] }, { \"name\" : \"bucket_attributes\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\" }, { \"column\" : \"name\", "
    "\"type\" : \"varchar\", \"size\" : 80 }, { \"column\" : \"value\", \"type\" : \"varchar\", "
    "\"size\" : 80 } ], \"index\" : [ \"name\" ] }, { \"name\" : \"bucket_changes\", "
    "\"columns\" : [ { \"column\" : \"seq\", \"type\" : \"integer\", \"key\" : true }, "
    "{ \"column\" : \"time\", \"type\" : \"integer\" }, { \"column\" : \"op\", \"type\" : "
    "\"varchar\", \"size\" : 16 }, { \"column\" : \"bucket\", \"type\" : \"integer\" }, "
    "{ \"column\" : \"attributes\", \"type\" : \"varchar\" }, { \"column\" : \"size\", "
    "\"type\" : \"integer\" }, { \"column\" : \"etag\", \"type\" : \"varchar\", \"size\" : 80 } ] "
    "} ] }";

}  // namespace bucket_schema
