// The service's management listener: the HTTP endpoint through which the
// core reaches a running service (shutdown, restart, configuration change
// notifications, liveness ping). The protocol is described in
// docs/service-management-api.md.
//
// Thread-safety: `start` and `stop` are called by the service's main thread;
// requests are served on the listener's own thread; `getListenerPort` may be
// called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class ServiceHandler;
namespace http {
class Server;
}

class ManagementApi {
public:
    // A listener for the service `name` on `port` (0: any free port), on
    // the loopback interface.
    ManagementApi(const std::string& name, uint16_t port);
    ~ManagementApi();

    // The most recently constructed listener, or null.
    static ManagementApi* getInstance();

    // Sets the service that receives the core's requests.
    void registerService(ServiceHandler* service) { m_service = service; }

    // Starts listening on a thread of its own; returns at once.
    void start();
    // Stops the listener and joins its thread.
    void stop();

    // The bound port; 0 until the listener listens.
    uint16_t getListenerPort() const;

private:
    std::string m_name;
    uint16_t m_port;
    ServiceHandler* m_service = nullptr;
    std::unique_ptr<http::Server> m_server;
    std::unique_ptr<std::thread> m_thread;
    static ManagementApi* m_instance;
};
