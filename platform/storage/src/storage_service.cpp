// The lifecycle of the tarvolt-storage process.
#include "storage_service.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "file_util.h"
#include "http/server.h"
#include "logger.h"
#include "management_api.h"
#include "management_client.h"
#include "postgres_backend.h"
#include "service_record.h"
#include "sqlite_backend.h"
#include "storage_api.h"

namespace storage {

namespace {

const std::chrono::seconds kStartTimeout(10);

// Polls `port` until it is non-zero or `failed` or the time is up.
template <class Port, class Failed>
uint16_t waitForPort(Port port, Failed failed) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (port() == 0 && !failed() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return port();
}

std::unique_ptr<StorageBackend> openBackend(const StorageOptions& options) {
    if (!options.postgres.empty()) {
        return std::make_unique<PostgresBackend>(options.postgres, options.threads);
    }
    std::filesystem::path path(options.database);
    if (path.has_parent_path()) {
        std::error_code ignored;
        std::filesystem::create_directories(path.parent_path(), ignored);
    }
    return std::make_unique<SqliteBackend>(options.database, options.threads);
}

}  // namespace

StorageService::StorageService(StorageOptions options, StopRequest& stop)
    : m_options(std::move(options)), m_stop(stop) {}

StorageService::~StorageService() = default;

int StorageService::run() {
    Logger* logger = Logger::getLogger();
    std::unique_ptr<StorageBackend> backend;
    const std::string database = m_options.postgres.empty()
                                     ? "SQLite " + m_options.database
                                     : "PostgreSQL " + describePostgres(m_options.postgres);
    try {
        backend = openBackend(m_options);
    } catch (const std::exception& error) {
        logger->fatal("Storage cannot open its database %s: %s", database.c_str(), error.what());
        return 1;
    }
    logger->info("Storage keeps its tables in %s", database.c_str());
    StorageApi api(*backend, m_options.extensions);
    http::ServerConfig config;
    config.address = "127.0.0.1";
    config.port = m_options.storagePort;
    config.threads = m_options.threads;
    config.maxBufferedBody = 16u << 20;
    http::Server server(config);
    api.registerRoutes(server);
    std::thread serverThread([&server] { server.start(); });

    m_port = waitForPort([&] { return server.port(); }, [&] { return server.failed(); });
    bool served = false;
    if (m_port == 0) {
        logger->fatal("Storage cannot listen: %s", server.errorMessage().c_str());
    } else if (m_options.standalone) {
        served = announcePort(m_port);
        if (served) {
            m_stop.wait();
        }
    } else {
        served = serveWithCore(m_port);
    }
    server.stop();
    serverThread.join();
    logger->info("Storage service %s stopped", m_options.name.c_str());
    return served ? 0 : 1;
}

bool StorageService::announcePort(uint16_t port) {
    Logger::getLogger()->info("Storage service listening on 127.0.0.1:%u", port);
    std::printf("Storage listening on 127.0.0.1:%u\n", static_cast<unsigned>(port));
    std::fflush(stdout);
    if (m_options.portFile.empty()) {
        return true;
    }
    // Written aside and renamed, so a reader never sees a partial file.
    FileStatus status = writeFileAtomically(m_options.portFile, std::to_string(port) + "\n");
    if (!status.ok()) {
        Logger::getLogger()->fatal("Storage cannot write %s", status.message().c_str());
        return false;
    }
    return true;
}

bool StorageService::serveWithCore(uint16_t port) {
    Logger* logger = Logger::getLogger();
    ManagementApi management(m_options.name, 0);
    management.registerService(this);
    management.start();
    uint16_t managementPort =
        waitForPort([&] { return management.getListenerPort(); }, [] { return false; });
    ManagementClient core(m_options.coreAddress, m_options.corePort);
    ServiceRecord record(m_options.name, "Storage", "http", "127.0.0.1", port, managementPort,
                         m_options.token);
    if (managementPort == 0 || !core.registerService(record)) {
        logger->fatal("Storage service %s could not register with the core at %s:%u",
                      m_options.name.c_str(), m_options.coreAddress.c_str(),
                      static_cast<unsigned>(m_options.corePort));
        management.stop();
        return false;
    }
    logger->info("Storage service %s registered; serving on port %u", m_options.name.c_str(), port);
    StopReason reason = m_stop.wait();
    if (reason == StopReason::Interrupt || reason == StopReason::Shutdown) {
        core.unregisterService();
    } else if (reason == StopReason::Restart) {
        core.restartService();
    }
    management.stop();
    return true;
}

}  // namespace storage
