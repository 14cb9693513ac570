// The development core: owns the service registry, the configuration
// categories, the audit log, the proxy table, the supervisor of the launched
// services, and the two HTTP servers (management API for services, public
// API for clients), both on 127.0.0.1.
//
// Files in the data directory:
//   core.json        { "management_port" : N, "api_port" : M, "pid" : P },
//                    written (atomically) once both ports listen, removed by
//                    a clean stop
//   core.lock        held (flock) while a core uses the directory
//   admin.token      the administrator's token (mode 0600), created with a
//                    random one when missing; not used with --open
//   categories.json  the configuration categories
//   audit.jsonl      the audit log, one JSON object per line, and its rotated
//                    files audit.1.jsonl (newest) to audit.<--audit-files>.jsonl
//   logs/<name>.log  standard output and error of each launched service
//
// Thread-safety: `start` and `stop` are called by one thread (main); the
// accessors and notification helpers are used by the servers' threads.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "audit_log.h"
#include "category_store.h"
#include "core_options.h"
#include "core_route_context.h"
#include "process_launcher.h"
#include "proxy_forwarder.h"
#include "proxy_table.h"
#include "service_channel.h"
#include "service_registry.h"
#include "supervisor.h"
#include "task_queue.h"

namespace http {
class Server;
}

class Core : public CoreNotifier {
  public:
    // `channel` reaches the services' management listeners (an
    // HttpServiceChannel when null); `launcher` starts the services (a
    // PosixProcessLauncher when null).
    explicit Core(CoreOptions options, std::unique_ptr<ServiceChannel> channel = nullptr,
                  std::unique_ptr<ProcessLauncher> launcher = nullptr);
    // Stops what still runs.
    ~Core() override;
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Prepares the data directory and the stores, starts both servers,
    // writes core.json and launches the services. False (with the reason
    // logged) when the core cannot run; call `stop` then.
    bool start();
    // Stops the services, the servers and the notifications; removes
    // core.json. Safe to call more than once.
    void stop();

    uint16_t managementPort() const;
    uint16_t apiPort() const;
    const std::string& dataDir() const { return m_dataDir; }
    // True when started with --open: no call needs a token.
    bool open() const { return m_options.open; }
    // The administrator's token (<data>/admin.token); "" when open.
    const std::string& adminToken() const { return m_adminToken; }

    ServiceRegistry& registry() { return m_registry; }
    CategoryStore& categories() { return *m_categories; }
    AuditLog& audit() { return *m_audit; }
    ProxyTable& proxies() { return m_proxies; }
    ServiceChannel& channel() { return *m_channel; }
    // The supervisor, or null before `start` has launched it. Route
    // handlers call this on server threads while `start` may still be
    // creating it, hence the atomic view of the owned object.
    Supervisor* supervisor() { return m_supervisorView.load(std::memory_order_acquire); }

    // ---- CoreNotifier, for the routes ----

    // A notification of the same category to the same registration that
    // still waits takes the new items instead: a slow service gets the final
    // value, and at most one waiting notification per category.
    void notifyChange(const CategoryStore::Change& change) override;
    void notifyChildren(const std::vector<CategoryStore::ChildAdded>& added) override;
    void forgetRegistration(const RegisteredService& service) override;

    // The notifications waiting for delivery (at most --notify-queue; one
    // more may be under way).
    size_t notificationsWaiting() const;

  private:
    bool prepareDataDirectory();
    bool loadAdminToken();
    bool openStores();
    // Posts `delivery` under `key`; logs a warning when the queue is full.
    void queueNotification(const std::string& key, const std::string& registration,
                           const std::string& category, std::function<void()> delivery);
    bool startServers();
    bool startServer(http::Server& server, std::thread& thread, const char* what);
    bool writeCoreFile();
    void startSupervisor();
    std::string binDirectory() const;

    CoreOptions m_options;
    std::string m_dataDir;
    int m_lockFd = -1;
    std::string m_coreToken;  // presented to the services; "" when open
    std::string m_adminToken;
    ServiceRegistry m_registry;
    std::unique_ptr<CategoryStore> m_categories;
    std::unique_ptr<AuditLog> m_audit;
    ProxyTable m_proxies;
    std::unique_ptr<ServiceChannel> m_channel;
    std::unique_ptr<ProcessLauncher> m_launcher;
    std::unique_ptr<ProxyForwarder> m_forwarder;
    std::unique_ptr<TaskQueue> m_notifications;
    // What the routes see of the core; outlives the servers.
    std::unique_ptr<CoreRouteContext> m_routeContext;
    std::unique_ptr<http::Server> m_managementServer;
    std::unique_ptr<http::Server> m_publicServer;
    std::thread m_managementThread;
    std::thread m_publicThread;
    std::unique_ptr<Supervisor> m_supervisor;
    std::atomic<Supervisor*> m_supervisorView{nullptr};
    bool m_coreFileWritten = false;
};
