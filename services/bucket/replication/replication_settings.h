// The settings of replication to an S3-compatible object store, as the
// category "<service> Replication" holds them, and the credentials file
// they name.
//
// The credentials file holds the lines "access_key = <id>" and
// "secret_key = <secret>" (blank lines, "#" comments and "[section]" lines
// are passed over). It must be a regular file that only its owner may read
// (mode 0600 or 0400); any other file is refused, so a secret readable by
// others is never used. Neither the secret nor the file's contents appear
// in any message.
//
// Thread-safety: plain values and free functions.
#pragma once

#include <optional>
#include <string>

struct ReplicationSettings {
    std::string endpoint;  // "http(s)://host[:port]"; empty: replication is off
    std::string region = "us-east-1";
    std::string bucket;
    std::string keyPrefix;
    bool virtualHost = false;  // "addressing" "virtual" (else "path")
    std::string credentialsFile;

    // Reads the items (the category's JSON text). An empty string, or why
    // they are refused (the settings are then left as they were).
    std::string read(const std::string& categoryName, const std::string& items);
    // Endpoint, bucket and prefix: a change of any of them is a new target,
    // followed from the start of the feed.
    std::string target() const;
};

struct ReplicationCredentials {
    std::string accessKey;
    std::string secretKey;
};

// The credentials in the file `path`; nullopt with `error` set when the
// file cannot be read, is readable by others than its owner, is not a
// regular file, or lacks either key.
std::optional<ReplicationCredentials> readCredentials(const std::string& path, std::string* error);
