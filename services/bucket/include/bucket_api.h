// The bucket service's REST front: the HTTP server, the thread that runs it,
// the route table, the response conventions the handlers share, and the
// proxy registration with the core.
//
// Route table (whole-path RE2 patterns; group 1 is the bucket id):
//   POST   /bucket                     -> bucketAdd
//   GET    /bucket                     -> bucketGetAll
//   GET    /bucket/([0-9][0-9]*)$      -> bucketContent
//   GET    /bucket/([0-9][0-9]*)/info$ -> bucketInfo
//   PUT    /bucket/([0-9][0-9]*)$      -> bucketUpdate
//   PATCH  /bucket/([0-9][0-9]*)$      -> bucketPatch
//   PUT    /bucket/([0-9][0-9]*)/content$ -> bucketReplace (body streamed to a file)
//   DELETE /bucket/([0-9][0-9]*)$      -> bucketDelete
//   PUT    /bucket/match               -> bucketMatch
//   GET    /bucket/changes             -> bucketChanges (the change feed; long polls
//                                          are held by FeedWaiters, off these threads)
//   GET    /bucket/retention           -> bucketRetention (rules, free space, dry run)
//   POST   /bucket/search              -> bucketSearch (buckets matching a condition)
//   POST   /bucket/delete              -> bucketBulkDelete (deletion by condition)
//   GET    /bucket/replication         -> bucketReplication (the replicator's state)
//   GET    /bucket/console[/<file>]    -> serveConsole (console_assets.h)
// GET, POST and DELETE requests matching no pattern go to defaultResource.
// Routes are plain functions that reach the object through `getInstance`;
// they answer 503 while the service is not yet ready for requests and turn
// a handler's std::exception into `internalError`. Each handler member runs
// the matching function of bucket_handlers.h on the service's store and
// hands its answer to `finish`.
//
// Thread-safety: construct, `initResources`, `start`, `setupProxies` and
// `wait` on one thread; `stop`, `getListenerPort` and `failed` from any
// thread. Handlers run on the server's threads (the thread running
// `startServer` plus `threads - 1` pool threads), several at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "http/body_sink.h"
#include "http/request.h"
#include "http/response.h"
#include "http/status.h"

namespace http {
class Server;
}
namespace bucket_handlers {
struct Answer;
struct StreamedBody;
}  // namespace bucket_handlers
class BucketService;
class FeedWaiters;
class Logger;
class ManagementClient;

class BucketApi {
  public:
    using Response = http::Response;
    using Request = http::Request;

    // A server for `port` (0: chosen by the operating system) on `address`
    // with a pool of `threads` event-loop threads. Becomes the singleton.
    BucketApi(uint16_t port, uint32_t threads, const std::string& address = "127.0.0.1");
    // Stops and joins the server thread when still running, then withdraws
    // the proxies when `setupProxies` was called and `withdrawProxies` was
    // not.
    ~BucketApi();
    BucketApi(const BucketApi&) = delete;
    BucketApi& operator=(const BucketApi&) = delete;

    // The object constructed last; constructs BucketApi(0, 1) when none
    // exists. Never null.
    static BucketApi* getInstance();
    // The instance when one exists, else null (never creates one).
    static BucketApi* current() { return m_instance; }

    // Registers the default routes and the route table on the server.
    void initResources();
    // Remembers `service` (not owned) and runs the server on a thread of its
    // own; returns at once.
    void start(BucketService* service);
    // Runs the server on the calling thread until it is stopped or fails to
    // bind or listen.
    void startServer();
    // Joins the server thread; returns at once when there is none.
    void wait();
    // Stop the server; safe before it has started (it then stops as soon as
    // it has). Return at once.
    void stop();
    void stopServer() { stop(); }

    // The bound port, or 0 while the server does not listen yet (or failed).
    uint16_t getListenerPort();
    // True when the server failed to bind or listen; `errorMessage` says why.
    bool failed() const;
    std::string errorMessage() const;
    // True once the server thread has returned from the server's loop.
    bool hasFinished() const { return m_finished.load(); }

    // Write a complete JSON answer: status line, Content-Length and
    // "Content-type: application/json", then `payload`.
    void respond(std::shared_ptr<Response> response, const std::string& payload);
    void respond(std::shared_ptr<Response> response, http::StatusCode status,
                 const std::string& payload);
    // Answers 500 `{ "Exception" : "<what>" }` and logs the error.
    void internalError(std::shared_ptr<Response> response, const std::exception& exception);
    // Answers 400 `{ "error" : "Unsupported URL: <path>" }`.
    void defaultResource(std::shared_ptr<Response> response, std::shared_ptr<Request> request);

    // Asks the core (through `client`, not owned) to forward the public
    // "/tarvolt/bucket..." paths to this service. True when it accepted.
    bool setupProxies(const std::string& name, ManagementClient* client);
    // Asks the core to stop forwarding the paths that `setupProxies`
    // registered; does nothing when it was not called or the paths are
    // already withdrawn. The core accepts the withdrawal only with a token it
    // still honours, so call this before the service unregisters or asks
    // for its restart. True when the core accepted it or nothing was to do.
    bool withdrawProxies();

    // Records the answer's audit entry, when it has one (a failure to record
    // it is logged), then writes the answer: its JSON body, or the file of
    // its download, or its streamed body.
    void finish(const std::shared_ptr<Response>& response, bucket_handlers::Answer answer);
    // Writes the head of a 200 JSON answer of unknown length (chunked) and
    // streams `body` after it; returns at once.
    void stream(const std::shared_ptr<Response>& response, bucket_handlers::StreamedBody body);

    // Handlers of the bucket operations.
    void bucketAdd(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketGetAll(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketChanges(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketContent(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketUpdate(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketPatch(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketReplace(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketRetention(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketSearch(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketBulkDelete(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketReplication(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketDelete(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketMatch(std::shared_ptr<Response> response, std::shared_ptr<Request> request);
    void bucketInfo(std::shared_ptr<Response> response, std::shared_ptr<Request> request);

    // The HTTP server with the route table; for inspecting the routes.
    const http::Server& server() const { return *m_server; }

    BucketService* getService() const { return m_service; }
    ManagementClient* getManagement() const { return m_management; }

  private:
    // The body sink factory of POST /bucket.
    http::BodySinkFactory uploadSinkFactory();
    // The body sink factory of PUT /bucket/<id>/content.
    http::BodySinkFactory replaceSinkFactory();

    std::unique_ptr<http::Server> m_server;
    uint16_t m_port;
    uint32_t m_threads;
    std::unique_ptr<std::thread> m_thread;
    std::unique_ptr<FeedWaiters> m_waiters;  // the held long polls of the change feed
    Logger* m_logger;
    BucketService* m_service = nullptr;
    // Set by setupProxies on the main thread while handlers may already run.
    std::atomic<ManagementClient*> m_management{nullptr};
    std::string m_name;
    std::atomic<bool> m_proxiesWithdrawn{false};
    std::atomic<uint16_t> m_listenerPort{0};
    std::atomic<bool> m_finished{false};

    static BucketApi* m_instance;
};
