// BucketApi: the HTTP server, its thread, the route table and the response
// conventions shared by the handlers.
#include "bucket_api.h"

#include <utility>

#include "bucket_download.h"
#include "bucket_handlers.h"
#include "bucket_paths.h"
#include "bucket_service.h"
#include "console_assets.h"
#include "feed_waiters.h"
#include "form_data.h"
#include "http/server.h"
#include "json_util.h"
#include "logger.h"
#include "management_client.h"
#include "raw_upload_sink.h"
#include "retention.h"

BucketApi* BucketApi::m_instance = nullptr;

namespace {

const char* kIdPath = "/bucket/([0-9][0-9]*)$";
const char* kInfoPath = "/bucket/([0-9][0-9]*)/info$";
const char* kContentPath = "/bucket/([0-9][0-9]*)/content$";
const char* kStartingBody = "{ \"message\" : \"Bucket service is starting\" }";
// Largest request body kept in memory (413 above).
constexpr uint64_t kMaxJsonBody = 4 << 20;

using Member = void (BucketApi::*)(std::shared_ptr<http::Response>, std::shared_ptr<http::Request>);

// Hands a request to a handler of the singleton. Until the service's store
// is ready the request is refused with 503; a std::exception thrown by the
// handler is answered by internalError.
void dispatch(Member handler, std::shared_ptr<http::Response> response,
              std::shared_ptr<http::Request> request) {
    BucketApi* api = BucketApi::getInstance();
    BucketService* service = api->getService();
    if (service == nullptr || !service->isReadyForRequests()) {
        api->respond(response, http::StatusCode::server_error_service_unavailable, kStartingBody);
        return;
    }
    try {
        (api->*handler)(response, request);
    } catch (const std::exception& e) {
        api->internalError(response, e);
    }
}

void defaultWrapper(std::shared_ptr<http::Response> response,
                    std::shared_ptr<http::Request> request) {
    BucketApi::getInstance()->defaultResource(response, request);
}

void bucketAddWrapper(std::shared_ptr<http::Response> response,
                      std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketAdd, response, request);
}

void bucketGetAllWrapper(std::shared_ptr<http::Response> response,
                         std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketGetAll, response, request);
}

void bucketChangesWrapper(std::shared_ptr<http::Response> response,
                          std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketChanges, response, request);
}

void bucketContentWrapper(std::shared_ptr<http::Response> response,
                          std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketContent, response, request);
}

void bucketInfoWrapper(std::shared_ptr<http::Response> response,
                       std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketInfo, response, request);
}

void bucketUpdateWrapper(std::shared_ptr<http::Response> response,
                         std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketUpdate, response, request);
}

void bucketPatchWrapper(std::shared_ptr<http::Response> response,
                        std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketPatch, response, request);
}

void bucketReplaceWrapper(std::shared_ptr<http::Response> response,
                          std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketReplace, response, request);
}

void bucketRetentionWrapper(std::shared_ptr<http::Response> response,
                            std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketRetention, response, request);
}

void bucketReplicationWrapper(std::shared_ptr<http::Response> response,
                              std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketReplication, response, request);
}

void bucketDeleteWrapper(std::shared_ptr<http::Response> response,
                         std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketDelete, response, request);
}

void bucketMatchWrapper(std::shared_ptr<http::Response> response,
                        std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketMatch, response, request);
}

void bucketSearchWrapper(std::shared_ptr<http::Response> response,
                         std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketSearch, response, request);
}

void bucketBulkDeleteWrapper(std::shared_ptr<http::Response> response,
                             std::shared_ptr<http::Request> request) {
    dispatch(&BucketApi::bucketBulkDelete, response, request);
}

// The server thread's entry function.
void startService() {
    BucketApi::getInstance()->startServer();
}

}  // namespace

BucketApi::BucketApi(uint16_t port, uint32_t threads, const std::string& address)
    : m_port(port), m_threads(threads) {
    http::ServerConfig config;
    config.port = port;
    config.address = address;
    config.threads = threads;
    // Uploads stream to disk; the bodies held in memory are the JSON of an
    // update or a match, at most 100 short pairs, far below this.
    config.maxBufferedBody = kMaxJsonBody;
    std::string ignored = http::applyLimitSettings(config);
    if (!ignored.empty()) {
        Logger::getLogger()->warn("%s", ignored.c_str());
    }
    m_server = std::make_unique<http::Server>(config);
    m_logger = Logger::getLogger();
    m_server->setErrorLogger(
        [](const std::string& line) { Logger::getLogger()->error("%s", line.c_str()); });
    m_instance = this;
}

BucketApi::~BucketApi() {
    if (m_thread && m_thread->joinable()) {
        m_server->stop();
        m_thread->join();
    }
    m_waiters.reset();
    m_server.reset();
    m_thread.reset();
    withdrawProxies();
    if (m_instance == this) {
        m_instance = nullptr;
    }
}

BucketApi* BucketApi::getInstance() {
    if (m_instance == nullptr) {
        m_instance = new BucketApi(0, 1);
    }
    return m_instance;
}

void BucketApi::initResources() {
    m_server->setDefaultRoute("GET", defaultWrapper);
    m_server->setDefaultRoute("POST", defaultWrapper);
    m_server->setDefaultRoute("DELETE", defaultWrapper);
    m_server->addRoute("POST", "/bucket", bucketAddWrapper, uploadSinkFactory());
    m_server->addRoute("GET", "/bucket", bucketGetAllWrapper);
    m_server->addRoute("GET", "/bucket/changes", bucketChangesWrapper);
    m_server->addRoute("GET", kIdPath, bucketContentWrapper);
    m_server->addRoute("GET", kInfoPath, bucketInfoWrapper);
    m_server->addRoute("PUT", kIdPath, bucketUpdateWrapper);
    m_server->addRoute("PATCH", kIdPath, bucketPatchWrapper);
    m_server->addRoute("PUT", kContentPath, bucketReplaceWrapper, replaceSinkFactory());
    m_server->addRoute("DELETE", kIdPath, bucketDeleteWrapper);
    m_server->addRoute("PUT", "/bucket/match", bucketMatchWrapper);
    m_server->addRoute("POST", "/bucket/search", bucketSearchWrapper);
    m_server->addRoute("POST", "/bucket/delete", bucketBulkDeleteWrapper);
    m_server->addRoute("GET", "/bucket/retention", bucketRetentionWrapper);
    m_server->addRoute("GET", "/bucket/replication", bucketReplicationWrapper);
    // The console's files need no store, so they are served while starting.
    m_server->addRoute("GET", kConsolePath, serveConsole);
}

// Uploads stream into temporary files under the storage root while the body
// arrives; saving one is then a rename within that file system. Parts the
// addition does not read are dropped as they stream, and the file part is
// held to the service's maximum bucket size as it stands when the upload
// begins.
http::BodySinkFactory BucketApi::uploadSinkFactory() {
    FormLimits limits;
    limits.digestAfterField = bucket_handlers::kDigestField;
    limits.keepPart = bucket_handlers::isAddPart;
    auto uploadDir = [this] {
        // Until the service is ready the storage root may still be changing;
        // no directory makes the sink refuse the form, and the route
        // answers 503.
        bool ready = m_service && m_service->isReadyForRequests();
        // A disk below the retention mark makes room before the upload
        // streams, so a full card takes new buckets instead of refusing.
        if (ready && m_service->retention().belowMark()) {
            m_service->retention().run();
        }
        return ready ? bucket_paths::uploadDirectory(m_service->getStoreRoot()) : std::string();
    };
    auto currentLimits = [this, limits] {
        FormLimits current = limits;
        const uint64_t maxBucketSize = m_service ? m_service->maxBucketSize() : 0;
        if (maxBucketSize != 0) {
            current.maxFileBytes = maxBucketSize;
        }
        return current;
    };
    return [this, uploadDir, currentLimits](const http::Request& request) {
        // The duplicate test before the file is a query of its own: worth it
        // only when it may spare reading a large file. A smaller form is
        // read whole, and its addition's own write refuses a duplicate.
        const bool testEarly = !bucket_handlers::isSmallForm(request);
        auto check = [this, testEarly](const std::vector<FormPart>& before, const FormPart& next) {
            bucket_handlers::checkPartNames(before, next);
            if (testEarly && next.isFile && !next.dropped && m_service &&
                m_service->isReadyForRequests()) {
                bucket_handlers::checkBeforeFile(m_service->store(), before);
            }
        };
        return FormData::sinkFactory(uploadDir, currentLimits, check)(request);
    };
}

// A new file streams into a temporary file under the storage root, held to
// the maximum bucket size as it stands when the upload begins. Until the
// service is ready the factory refuses (the route then answers 503).
http::BodySinkFactory BucketApi::replaceSinkFactory() {
    return [this](const http::Request&) -> std::shared_ptr<http::BodySink> {
        if (!m_service || !m_service->isReadyForRequests()) {
            throw std::runtime_error("the service is not ready");
        }
        return std::make_shared<RawUploadSink>(
            bucket_paths::uploadDirectory(m_service->getStoreRoot()), m_service->maxBucketSize());
    };
}

void BucketApi::start(BucketService* service) {
    m_service = service;
    m_waiters = std::make_unique<FeedWaiters>(
        service->store().feed(),
        [this](const std::shared_ptr<Response>& response, uint64_t after, size_t limit) {
            finish(response,
                   bucket_handlers::changesAnswer(m_service->store().feed(), after, limit));
        });
    m_thread = std::make_unique<std::thread>(startService);
}

void BucketApi::startServer() {
    try {
        m_server->start([this](uint16_t port) { m_listenerPort = port; });
    } catch (const std::exception& e) {
        m_logger->fatal("The bucket service REST server failed: %s", e.what());
    }
    if (m_waiters) {
        m_waiters->stop();  // the held long polls are answered before the server goes
    }
    m_finished = true;
}

void BucketApi::wait() {
    if (m_thread && m_thread->joinable()) {
        m_thread->join();
    }
}

void BucketApi::stop() {
    m_server->stop();
}

uint16_t BucketApi::getListenerPort() {
    if (!m_server) {
        Logger::getLogger()->fatal("Unable to return lsitener port as no server has been created");
        return 0;
    }
    return m_listenerPort.load();
}

bool BucketApi::failed() const {
    return m_server->failed();
}

std::string BucketApi::errorMessage() const {
    return m_server->errorMessage();
}

void BucketApi::respond(std::shared_ptr<Response> response, const std::string& payload) {
    std::string message = "HTTP/1.1 200 OK\r\nContent-Length: ";
    message += std::to_string(payload.size());
    message += "\r\nContent-type: application/json\r\n\r\n";
    message += payload;
    response->write(message);
}

void BucketApi::respond(std::shared_ptr<Response> response, http::StatusCode status,
                        const std::string& payload) {
    std::string message = "HTTP/1.1 ";
    message += http::statusText(status);
    message += "\r\nContent-Length: ";
    message += std::to_string(payload.size());
    message += "\r\nContent-type: application/json\r\n\r\n";
    message += payload;
    response->write(message);
}

void BucketApi::internalError(std::shared_ptr<Response> response, const std::exception& exception) {
    std::string payload = "{ \"Exception\" : \"";
    payload += JSONescape(exception.what());
    payload += "\" }";
    m_logger->error("BucketApi Internal Error: %s\n", exception.what());
    respond(response, http::StatusCode::server_error_internal_server_error, payload);
}

void BucketApi::defaultResource(std::shared_ptr<Response> response,
                                std::shared_ptr<Request> request) {
    respond(response, http::StatusCode::client_error_bad_request,
            "{ \"error\" : \"Unsupported URL: " + JSONescape(request->path) + "\" }");
}

void BucketApi::finish(const std::shared_ptr<Response>& response, bucket_handlers::Answer answer) {
    ManagementClient* management = m_management;
    answer.audits.insert(answer.audits.begin(), std::move(answer.audit));
    for (const bucket_handlers::Audit& audit : answer.audits) {
        if (!audit.code.empty() && management != nullptr &&
            !management->addAuditEntry(audit.code, "INFORMATION", audit.detail)) {
            m_logger->warn("%s", audit.failure.c_str());
        }
    }
    if (answer.download) {
        sendBucketFile(response, *answer.download, answer.downloadRequest);
    } else if (answer.stream) {
        stream(response, std::move(*answer.stream));
    } else if (answer.status == http::StatusCode::success_ok) {
        respond(response, answer.body);
    } else {
        respond(response, answer.status, answer.body);
    }
}

// The head of a JSON answer of unknown length, then its pieces; a stream cut
// short (the store failed, the client left) is logged.
void BucketApi::stream(const std::shared_ptr<Response>& response,
                       bucket_handlers::StreamedBody body) {
    response->write(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-type: application/json\r\n\r\n");
    Logger* logger = m_logger;
    http::streamChunked(response, std::move(body.source), body.headOnly,
                        [logger](const std::string& reason) {
                            logger->warn("A streamed answer was cut short: %s", reason.c_str());
                        });
}

namespace {

// Runs `handle` on the store of the api's service and finishes its answer.
template <class Handler>
void run(BucketApi& api, Handler handle, const std::shared_ptr<http::Response>& response,
         const std::shared_ptr<http::Request>& request) {
    api.finish(response, handle(api.getService()->store(), bucket_handlers::Request(*request)));
}

}  // namespace

void BucketApi::bucketAdd(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleAdd, response, request);
}

void BucketApi::bucketGetAll(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleGetAll, response, request);
}

// A request that may wait and finds nothing new is held by the waiters,
// which answer it off the server's threads.
void BucketApi::bucketChanges(std::shared_ptr<Response> response,
                              std::shared_ptr<Request> request) {
    bucket_handlers::FeedQuery query;
    if (!bucket_handlers::readFeedQuery(*request, query).empty()) {
        run(*this, bucket_handlers::handleChanges, response, request);
        return;
    }
    ChangeFeed& feed = m_service->store().feed();
    if (query.wait > 0 && !feed.hasNews(query.after) && m_waiters &&
        m_waiters->add(response, query.after, query.limit, std::chrono::seconds(query.wait))) {
        return;
    }
    finish(response, bucket_handlers::changesAnswer(feed, query.after, query.limit));
}

void BucketApi::bucketContent(std::shared_ptr<Response> response,
                              std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleContent, response, request);
}

void BucketApi::bucketUpdate(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleUpdate, response, request);
}

void BucketApi::bucketPatch(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handlePatch, response, request);
}

void BucketApi::bucketReplace(std::shared_ptr<Response> response,
                              std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleReplace, response, request);
}

void BucketApi::bucketRetention(std::shared_ptr<Response> response,
                                std::shared_ptr<Request> /*request*/) {
    respond(response, m_service->retention().stateJson());
}

void BucketApi::bucketReplication(std::shared_ptr<Response> response,
                                  std::shared_ptr<Request> /*request*/) {
    respond(response, m_service->replicationStatus());
}

void BucketApi::bucketDelete(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleDelete, response, request);
}

void BucketApi::bucketInfo(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleInfo, response, request);
}

void BucketApi::bucketMatch(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleMatch, response, request);
}

void BucketApi::bucketSearch(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleSearch, response, request);
}

void BucketApi::bucketBulkDelete(std::shared_ptr<Response> response,
                                 std::shared_ptr<Request> request) {
    run(*this, bucket_handlers::handleBulkDelete, response, request);
}
