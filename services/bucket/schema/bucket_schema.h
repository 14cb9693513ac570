// The schema of the bucket index in the storage service: the schema
// "Bucket" with the tables "buckets" (id, filename) and "bucket_attributes"
// (id, name, value); from version 2, "bucket_changes" (seq, time, op,
// bucket, attributes, size, etag: the change feed, change_feed.h); from
// version 3, "bucket_files" (id, name, type, sha256: what the upload said
// of the file, one row per bucket that has any, file_facts.h); from version 4, "bucket_lease"
// (slot, generation, name, host, pid, started, expires: the writer lease, writer_lease.h); from
// version 5, the columns "size" and "modified" of "buckets" (the file's size in bytes and its
// modification time in milliseconds since the epoch, bucket_file_stats.h), each indexed; from
// version 6, "bucket_set_keys" (set_key, id: the key of each bucket's attribute set, set_key.h, the
// table's own key, so that two buckets never hold one set; indexed by id). The
// store declares it at every start; the storage benchmarks, the fuzz targets and the tests declare
// the same text, so they exercise exactly the tables the service uses.
//
// Versions only add: each document holds every table and column of the
// ones before it, unchanged, so the storage service takes a store of any
// older version to the current one by adding what is missing.
//
// Thread-safety: constants.
#pragma once

namespace bucket_schema {

constexpr const char* kName = "Bucket";
constexpr const char* kBuckets = "buckets";
constexpr const char* kAttributes = "bucket_attributes";
constexpr const char* kChanges = "bucket_changes";
constexpr const char* kLease = "bucket_lease";
constexpr const char* kFiles = "bucket_files";
constexpr const char* kSetKeys = "bucket_set_keys";

// Version 1: the two tables of ids, paths and attributes.
constexpr const char* kDocumentVersion1 =
    "{ \"schema\" : \"Bucket\", \"version\" : 1, \"service\" : \"bucket\", \"tables\" : [ { "
    "\"name\" : \"buckets\", \"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", "
    "\"size\" : 10, \"key\" : true }, { \"column\" : \"filename\", \"type\" : \"varchar\", "
    "\"size\" : 255 } ], \"index\" : [ \"col2\" ] }, { \"name\" : \"bucket_attributes\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\" }, { \"column\" : \"name\", "
    "\"type\" : \"varchar\", \"size\" : 80 }, { \"column\" : \"value\", \"type\" : \"varchar\", "
    "\"size\" : 80 } ], \"index\" : [ \"name\" ] } ] }";

// The current schema document (version 6), as sent to the storage service.
constexpr const char* kDocument =
    "{ \"schema\" : \"Bucket\", \"version\" : 6, \"service\" : \"bucket\", \"tables\" : [ { "
    "\"name\" : \"buckets\", \"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", "
    "\"size\" : 10, \"key\" : true }, { \"column\" : \"filename\", \"type\" : \"varchar\", "
    "\"size\" : 255 }, { \"column\" : \"size\", \"type\" : \"integer\" }, { \"column\" : "
    "\"modified\", \"type\" : \"integer\" } ], \"index\" : [ \"col2\", [ \"size\" ], "
    "[ \"modified\", \"id\" ] ] }, { \"name\" : \"bucket_attributes\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\" }, { \"column\" : \"name\", "
    "\"type\" : \"varchar\", \"size\" : 80 }, { \"column\" : \"value\", \"type\" : \"varchar\", "
    "\"size\" : 80 } ], \"index\" : [ \"name\" ] }, { \"name\" : \"bucket_changes\", "
    "\"columns\" : [ { \"column\" : \"seq\", \"type\" : \"integer\", \"key\" : true }, "
    "{ \"column\" : \"time\", \"type\" : \"integer\" }, { \"column\" : \"op\", \"type\" : "
    "\"varchar\", \"size\" : 16 }, { \"column\" : \"bucket\", \"type\" : \"integer\" }, "
    "{ \"column\" : \"attributes\", \"type\" : \"varchar\" }, { \"column\" : \"size\", "
    "\"type\" : \"integer\" }, { \"column\" : \"etag\", \"type\" : \"varchar\", \"size\" : 80 } ] "
    "}, { \"name\" : \"bucket_files\", \"columns\" : [ { \"column\" : \"id\", \"type\" : "
    "\"integer\", \"key\" : true }, { \"column\" : \"name\", \"type\" : \"varchar\", \"size\" : "
    "255 }, { \"column\" : \"type\", \"type\" : \"varchar\", \"size\" : 255 }, { \"column\" : "
    "\"sha256\", \"type\" : \"varchar\", \"size\" : 64 } ] "
    "}, { \"name\" : \"bucket_lease\", \"columns\" : [ { \"column\" : \"slot\", \"type\" : "
    "\"integer\", \"key\" : true }, { \"column\" : \"generation\", \"type\" : \"integer\" }, "
    "{ \"column\" : \"name\", \"type\" : \"varchar\", \"size\" : 255 }, { \"column\" : "
    "\"host\", \"type\" : \"varchar\", \"size\" : 255 }, { \"column\" : \"pid\", \"type\" : "
    "\"integer\" }, { \"column\" : \"started\", \"type\" : \"integer\" }, { \"column\" : "
    "\"expires\", \"type\" : \"integer\" } ] }, { \"name\" : \"bucket_set_keys\", \"columns\" : [ "
    "{ \"column\" : \"set_key\", \"type\" : \"varchar\", \"size\" : 64, \"key\" : true }, "
    "{ \"column\" : \"id\", \"type\" : \"integer\" } ], \"index\" : [ [ \"id\" ] ] } ] }";

}  // namespace bucket_schema
