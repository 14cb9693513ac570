// The tarvolt-storage process: opens the database, serves the storage
// protocol on its own loopback port, registers with the core as a service
// of type "Storage" (unless standalone) and runs until it is asked to stop.
//
// Stop paths: SIGINT, SIGHUP and the core's shutdown request unregister
// from the core; SIGTERM stops without unregistering; the core's restart
// request asks the core to start the service again. Every path only records
// the request; the thread in `run` does the winding down.
//
// Thread-safety: `run` is called once, on the main thread; the
// ServiceHandler members are called by the management listener's threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "service_handler.h"
#include "stop_request.h"
#include "storage_options.h"

namespace storage {

class StorageBackend;

class StorageService : public ServiceHandler {
  public:
    StorageService(StorageOptions options, StopRequest& stop);
    ~StorageService() override;

    // Serves until a stop is requested. Returns the process's exit status:
    // 0 after an orderly stop, 1 when the database, the listener or the
    // registration failed.
    int run();

    // The REST port, 0 before the server listens.
    uint16_t port() const { return m_port; }

    void shutdown() override { m_stop.request(StopReason::Shutdown); }
    void restart() override { m_stop.request(StopReason::Restart); }
    void configChange(const std::string&, const std::string&) override {}
    void configChildCreate(const std::string&, const std::string&, const std::string&) override {}
    void configChildDelete(const std::string&, const std::string&) override {}
    bool isRunning() override { return m_stop.reason() == StopReason::None; }
    void securityChange(const std::string&) override {}

  private:
    bool serveWithCore(uint16_t port);
    bool announcePort(uint16_t port);

    StorageOptions m_options;
    StopRequest& m_stop;
    uint16_t m_port = 0;
};

}  // namespace storage
