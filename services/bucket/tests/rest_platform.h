// The whole platform for tests of the bucket REST API: a tarvolt-core on
// free ports that launches tarvolt-storage and tarvolt-bucket itself, as
// `make run` does, plus the helpers the tests share (multipart bodies, audit
// entries, the storage database for fault injection). The end-to-end suites
// run on it; the handler suites run on HandlerPlatform, in one process.
//
// Thread-safety: construct and destroy on one thread; `service()` and
// `core()` are clients that several threads may use at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/client.h"
#include "test_support.h"

namespace rest_test {

// One part of a multipart/form-data body; a file part when `filename` is set.
struct FormPart {
    std::string name;
    std::optional<std::string> filename;
    std::string content;
    // The file part's Content-Type (none sent when empty).
    std::string contentType = "application/octet-stream";
};

constexpr const char* kBoundary = "tarvolt-test-boundary-7f3a";

// The multipart body of `parts`, delimited by kBoundary.
std::string multipartBody(const std::vector<FormPart>& parts);
// The header fields of a multipart request with kBoundary.
http::Headers multipartHeaders();

// The decimal text of 2^64 + `id`: an id that wraps to `id` in 64 bits.
std::string wrapsTo(uint64_t id);

// `size` bytes of a pattern that differs per `seed` and per position.
std::string pattern(size_t size, uint32_t seed);

// The text of `json` re-written compactly (member order kept), or
// "<invalid JSON>" when it does not parse.
std::string compact(const std::string& json);

// What the tests of the bucket REST API use of a running bucket service,
// wherever it runs: its port, its storage root, uploads and audit entries.
class BucketPlatform {
  public:
    virtual ~BucketPlatform() = default;

    // A client of the bucket service's own port.
    virtual http::Client& service() = 0;
    virtual uint16_t servicePort() const = 0;
    // The details of every audit entry with `code`, compacted, oldest first.
    virtual std::vector<std::string> auditDetails(const std::string& code) = 0;
    // The bucket service's log.
    virtual std::string serviceLog() const = 0;

    const std::string& dataDir() const { return m_dir.path(); }
    std::string storeRoot() const { return dataDir() + "/buckets"; }
    // Where the file of bucket `id` lives.
    std::string bucketPath(uint64_t id) const;

    // POST of a form with the file part "bucket" holding `content` and the
    // data part "attributes" holding `attributes`, to `client` at `target`.
    http::ClientResponse add(const std::string& content, const std::string& attributes,
                             const std::string& target = "/bucket");
    http::ClientResponse add(const std::string& content, const std::string& attributes,
                             http::Client& client, const std::string& target);
    // Adds a bucket and returns its id; fails the test (throws) otherwise.
    uint64_t addOrThrow(const std::string& content, const std::string& attributes);

    // Names of ".upload-*" files anywhere under the storage root.
    std::vector<std::string> uploadLeftovers() const;

  private:
    testing_support::TempDir m_dir;
};

class RestPlatform : public BucketPlatform {
  public:
    // Starts the platform in a fresh temporary directory and waits until the
    // bucket service answers and its proxies are registered. Throws
    // std::runtime_error when it does not come up.
    RestPlatform();
    // Stops the platform when still running.
    ~RestPlatform() override;

    // Stops the core, which stops the services; returns the core's exit
    // status.
    int stop();
    // Stops the platform and starts it again in the same data directory,
    // with `environment` added to the core's, which passes it on to the
    // services it launches. Throws std::runtime_error when it does not come
    // up.
    void restart(const std::map<std::string, std::string>& environment);
    // The process id of the child of the core running `program`
    // ("tarvolt-bucket", "tarvolt-storage"), or -1 when there is none.
    pid_t childPid(const std::string& program) const;
    // The lines of the logs of every process that report a sanitizer error
    // (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer).
    std::vector<std::string> sanitizerReports() const;

    http::Client& service() override { return *m_service; }
    // A client of the core's public port.
    http::Client& core() { return *m_core; }
    uint16_t servicePort() const override { return m_servicePort; }
    std::string serviceLog() const override;
    std::vector<std::string> auditDetails(const std::string& code) override;

    // Runs `sql` on the storage service's SQLite database (tables are named
    // "Bucket.buckets" and "Bucket.bucket_attributes"). Throws on error.
    void sql(const std::string& statement);
    // The first column of the first row `query` gives, as text ("" for none).
    std::string sqlValue(const std::string& query);

  private:
    void launch(const std::map<std::string, std::string>& environment);
    bool waitUntilReady();
    void runSql(const std::string& statement, std::string* firstValue);

    std::unique_ptr<testing_support::ChildProcess> m_coreProcess;
    std::unique_ptr<http::Client> m_core;
    std::unique_ptr<http::Client> m_service;
    uint16_t m_servicePort = 0;
};

// Base of the test suites: one platform per suite, started before its first
// test and stopped after its last.
class RestTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static RestPlatform& platform() { return *s_platform; }

  private:
    static RestPlatform* s_platform;
    static std::string s_startError;
};

}  // namespace rest_test
