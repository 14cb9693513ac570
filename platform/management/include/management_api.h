// The service's management listener: the HTTP endpoint through which the
// core reaches a running service (shutdown, restart, configuration change
// notifications, liveness ping). The protocol is described in
// docs/service-management-api.md.
//
// Thread-safety: `start` and `stop` are called by the service's main thread;
// requests are served on the listener's own thread; `getListenerPort` may be
// called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class ServiceHandler;
namespace http {
class Request;
class Response;
class Server;
}  // namespace http

class ManagementApi {
  public:
    // A listener for the service `name` on `port` (0: any free port), on
    // the loopback interface. When the core that launched the service set
    // TARVOLT_CORE_TOKEN, shutdown and restart are accepted only with that
    // token (Authorization: Bearer); otherwise from any caller.
    ManagementApi(const std::string& name, uint16_t port);
    ~ManagementApi();

    // The most recently constructed listener, or null.
    static ManagementApi* getInstance();

    // Sets the service that receives the core's requests.
    void registerService(ServiceHandler* service) { m_service = service; }

    // Starts listening on a thread of its own; returns at once. A failure
    // to listen is logged (fatal) and shows in `listenerFailed`.
    void start();
    // Stops the listener and joins its thread (when called by a request
    // handler of the listener itself, the destructor joins it instead).
    void stop();

    // The bound port; 0 until the listener listens.
    uint16_t getListenerPort() const;
    // True when the listener could not bind or listen.
    bool listenerFailed() const;

  private:
    void addRoutes();
    void ping(const std::shared_ptr<http::Response>& response);
    void shutdown(const std::shared_ptr<http::Response>& response);
    void restart(const std::shared_ptr<http::Response>& response);
    // True when `request` comes from the core; answers 401/403 otherwise.
    bool fromCore(const http::Request& request, const std::shared_ptr<http::Response>& response);
    static void configChange(const http::Request& request,
                             const std::shared_ptr<http::Response>& response);
    static void childCreate(const http::Request& request,
                            const std::shared_ptr<http::Response>& response);
    static void childDelete(const http::Request& request,
                            const std::shared_ptr<http::Response>& response);

    std::string m_name;
    std::string m_coreToken;  // "" when any caller may stop the service
    uint16_t m_port;
    std::chrono::steady_clock::time_point m_started;
    std::atomic<ServiceHandler*> m_service{nullptr};
    std::unique_ptr<http::Server> m_server;
    std::unique_ptr<std::thread> m_thread;
    static ManagementApi* m_instance;
};
