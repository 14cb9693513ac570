// A service for tests of the core: it has a management listener (through
// the platform's ManagementApi), records what the core asks of it, and
// serves a few REST paths under "/test" for the proxy tests:
//   GET  /test/echo/<anything>   { "method", "path", "query", "header" }
//        (the value of the request's X-Test field)
//   POST /test/upload            streams the body; { "bytes", "hash" }
//   POST /test/refuse/<bytes>    refuses the body once it has that many
//                                bytes: 409 { "message" : "Refused at
//                                <bytes> bytes" } at once, then closes
//   GET  /test/download/<bytes>  that many bytes of `patternByte`, sent in
//                                256 KiB pieces with Content-Length
//   GET  /test/late/<ms>         a chunked "late": the head after half of
//                                <ms>, the body after the other half (from
//                                a thread of its own, holding no loop)
//   GET  /test/truncated/<bytes> announces that many bytes, sends half of
//                                them and closes the connection
// An upload whose body ends early is recorded as the event "upload
// abandoned after <bytes>".
//
// Thread-safety: the recorded events may be read from any thread.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "management_api.h"
#include "management_client.h"
#include "service_handler.h"

namespace http {
class Server;
}

// The byte at `offset` of every test transfer.
inline char patternByte(uint64_t offset) {
    return static_cast<char>('a' + (offset * 7 + offset / 4093) % 26);
}

// FNV-1a over the bytes, continued from `hash`.
uint64_t fnv1a(const char* data, size_t size, uint64_t hash = 1469598103934665603ull);

class TestService : public ServiceAuthHandler {
  public:
    // Starts the management listener and the REST server; check `ready`.
    explicit TestService(const std::string& name, const std::string& type = "Test");
    ~TestService() override;

    bool ready() const { return m_ready; }
    uint16_t managementPort() const;
    uint16_t restPort() const;
    // The record to register with the core.
    ServiceRecord record(const std::string& token = "") const;

    void shutdown() override { note("shutdown"); }
    void restart() override { note("restart"); }
    void configChange(const std::string& category, const std::string& items) override {
        note("change " + category + " " + items);
    }
    void configChildCreate(const std::string& parent, const std::string& category,
                           const std::string&) override {
        note("child " + parent + " " + category);
    }
    void configChildDelete(const std::string&, const std::string&) override {}
    bool isRunning() override { return true; }

    // The events so far ("shutdown", "restart", "change <category> <items>",
    // "child <parent> <category>").
    std::vector<std::string> events();
    // Waits until an event starting with `prefix` has been recorded.
    bool waitForEvent(const std::string& prefix);

  private:
    void note(const std::string& event);
    void addRestRoutes();

    std::unique_ptr<ManagementApi> m_management;
    std::unique_ptr<http::Server> m_rest;
    std::thread m_restThread;
    bool m_ready = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::vector<std::thread> m_lateAnswers;
};
