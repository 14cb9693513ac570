#include "core.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

#include "core_management_api.h"
#include "core_public_api.h"
#include "file_util.h"
#include "http/server.h"
#include "logger.h"

namespace {

constexpr auto kListenTimeout = std::chrono::seconds(10);

bool makeDirectories(const std::string& path) {
    std::string partial;
    size_t position = 0;
    while (position != std::string::npos) {
        position = path.find('/', position + 1);
        partial = path.substr(0, position);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

Core::Core(CoreOptions options, std::unique_ptr<ServiceChannel> channel,
           std::unique_ptr<ProcessLauncher> launcher)
    : m_options(std::move(options)),
      m_coreToken(m_options.open ? "" : randomHex(16)),
      m_registry(m_options.open),
      m_channel(channel
                    ? std::move(channel)
                    : std::make_unique<HttpServiceChannel>(std::chrono::seconds(5), m_coreToken)),
      m_launcher(launcher ? std::move(launcher) : std::make_unique<PosixProcessLauncher>()) {}

Core::~Core() {
    stop();
}

bool Core::start() {
    if (!prepareDataDirectory() || !loadAdminToken() || !openStores() || !startServers() ||
        !writeCoreFile()) {
        return false;
    }
    startSupervisor();
    Logger::getLogger()->info("Core ready: management port %u, API port %u, data in %s",
                              managementPort(), apiPort(), m_dataDir.c_str());
    return true;
}

bool Core::prepareDataDirectory() {
    Logger* logger = Logger::getLogger();
    if (!makeDirectories(m_options.dataDir + "/logs")) {
        logger->fatal("Cannot create the data directory %s: %s", m_options.dataDir.c_str(),
                      std::strerror(errno));
        return false;
    }
    char resolved[PATH_MAX];
    m_dataDir = ::realpath(m_options.dataDir.c_str(), resolved) ? resolved : m_options.dataDir;
    std::string lockFile = m_dataDir + "/core.lock";
    m_lockFd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        logger->fatal("The data directory %s is in use by another core", m_dataDir.c_str());
        return false;
    }
    return true;
}

bool Core::loadAdminToken() {
    if (m_options.open)
        return true;
    std::string path = m_dataDir + "/admin.token";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        std::string token = randomHex(16) + "\n";
        bool written = ::write(fd, token.data(), token.size()) == ssize_t(token.size());
        ::close(fd);
        if (!written)
            ::unlink(path.c_str());
    }
    std::ifstream in(path);
    std::getline(in, m_adminToken);
    if (m_adminToken.empty()) {
        Logger::getLogger()->fatal("Cannot read the administrator token %s", path.c_str());
        return false;
    }
    return true;
}

bool Core::openStores() {
    Logger* logger = Logger::getLogger();
    m_categories = std::make_unique<CategoryStore>(m_dataDir + "/categories.json");
    std::string message;
    if (!m_categories->load(message))
        logger->error("%s", message.c_str());
    m_audit = std::make_unique<AuditLog>(
        m_dataDir + "/audit.jsonl", AuditLimits{m_options.auditFileBytes, m_options.auditFiles});
    if (!m_audit->open(message)) {
        logger->fatal("%s", message.c_str());
        return false;
    }
    m_notifications = std::make_unique<TaskQueue>(m_options.notifyQueue);
    return true;
}

bool Core::startServers() {
    http::ServerConfig management;
    management.address = "127.0.0.1";
    management.port = m_options.managementPort;
    management.threads = 2;
    management.maxBufferedBody = 16ull << 20;
    m_routeContext =
        std::make_unique<CoreRouteContext>(m_registry, *m_categories, *m_audit, m_proxies,
                                           *m_channel, m_supervisorView, *this, m_options.open);
    m_managementServer = std::make_unique<http::Server>(management);
    addCoreManagementRoutes(*m_managementServer, *m_routeContext);

    http::ServerConfig api;
    api.address = "127.0.0.1";
    api.port = m_options.apiPort;
    api.threads = 4;
    api.maxBufferedBody = 1ull << 20;  // the core's own routes take small bodies
    // Proxied bodies stream to their service, which sets their limit.
    api.maxStreamedBody = std::numeric_limits<uint64_t>::max();
    std::string ignored = http::applyLimitSettings(api);
    if (!ignored.empty()) {
        Logger::getLogger()->warn("%s", ignored.c_str());
    }
    m_publicServer = std::make_unique<http::Server>(api);
    m_forwarder = std::make_unique<ProxyForwarder>(m_proxies, m_registry);
    addCorePublicRoutes(*m_publicServer, *m_routeContext, m_adminToken, *m_forwarder);

    return startServer(*m_managementServer, m_managementThread, "management") &&
           startServer(*m_publicServer, m_publicThread, "public API");
}

bool Core::startServer(http::Server& server, std::thread& thread, const char* what) {
    server.setErrorLogger(
        [](const std::string& line) { Logger::getLogger()->error("%s", line.c_str()); });
    thread = std::thread([&server] { server.start(); });
    auto deadline = std::chrono::steady_clock::now() + kListenTimeout;
    while (server.port() == 0 && !server.failed()) {
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (server.port() == 0) {
        Logger::getLogger()->fatal("The %s server cannot listen: %s", what,
                                   server.failed() ? server.errorMessage().c_str() : "timed out");
        return false;
    }
    return true;
}

bool Core::writeCoreFile() {
    std::string content = "{\"management_port\":" + std::to_string(managementPort()) +
                          ",\"api_port\":" + std::to_string(apiPort()) +
                          ",\"pid\":" + std::to_string(::getpid()) + "}\n";
    FileStatus status = writeFileAtomically(m_dataDir + "/core.json", content);
    if (!status.ok()) {
        Logger::getLogger()->fatal("%s", status.message().c_str());
        return false;
    }
    m_coreFileWritten = true;
    return true;
}

std::string Core::binDirectory() const {
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        return ".";
    std::string executable(path, static_cast<size_t>(length));
    return executable.substr(0, executable.rfind('/'));
}

void Core::startSupervisor() {
    std::vector<SupervisedService> services;
    std::string bin = binDirectory();
    for (const char* key : {"storage", "bucket"}) {
        if (std::find(m_options.launch.begin(), m_options.launch.end(), key) ==
            m_options.launch.end()) {
            continue;
        }
        if (std::string(key) == "storage") {
            services.push_back({"Storage", bin + "/tarvolt-storage", ""});
        } else {
            services.push_back({"Bucket Storage", bin + "/tarvolt-bucket", "Storage"});
        }
    }
    SupervisorConfig config;
    config.dataDir = m_dataDir;
    config.managementPort = managementPort();
    config.coreToken = m_coreToken;
    SupervisorHooks hooks;
    hooks.isRegistered = [this](const std::string& name) {
        return m_registry.findByName(name).has_value();
    };
    hooks.issueToken = [this](const std::string& name) { return m_registry.issueToken(name); };
    hooks.forget = [this](const std::string& name) {
        if (auto removed = m_registry.removeByName(name))
            forgetRegistration(*removed);
        m_registry.revokeToken(name);  // also when it ended before registering
    };
    hooks.askShutdown = [this](const std::string& name) {
        auto service = m_registry.findByName(name);
        std::string error;
        return service && m_channel->shutdown(*service, error);
    };
    m_supervisor =
        std::make_unique<Supervisor>(std::move(services), config, std::move(hooks), *m_launcher);
    m_supervisorView.store(m_supervisor.get(), std::memory_order_release);
    m_supervisor->start();
}

void Core::stop() {
    if (m_supervisor)
        m_supervisor->stopAll();
    if (m_notifications)
        m_notifications->stop();
    if (m_publicServer)
        m_publicServer->stop();
    if (m_managementServer)
        m_managementServer->stop();
    if (m_publicThread.joinable())
        m_publicThread.join();
    if (m_managementThread.joinable())
        m_managementThread.join();
    if (m_coreFileWritten) {
        ::unlink((m_dataDir + "/core.json").c_str());
        m_coreFileWritten = false;
    }
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

uint16_t Core::managementPort() const {
    return m_managementServer ? m_managementServer->port() : 0;
}

uint16_t Core::apiPort() const {
    return m_publicServer ? m_publicServer->port() : 0;
}

void Core::notifyChange(const CategoryStore::Change& change) {
    for (const auto& id : m_categories->interestedIn(change.category)) {
        // A newer change of the category replaces one still waiting.
        queueNotification(
            "change\n" + id + "\n" + change.category, id, change.category, [this, id, change] {
                auto service = m_registry.findById(id);
                std::string error;
                if (service &&
                    !m_channel->configChange(*service, change.category, change.items, error)) {
                    Logger::getLogger()->warn("Service %s was not told of the change of %s: %s",
                                              service->name.c_str(), change.category.c_str(),
                                              error.c_str());
                }
            });
    }
}

void Core::notifyChildren(const std::vector<CategoryStore::ChildAdded>& added) {
    for (const auto& child : added) {
        for (const auto& id : m_categories->interestedIn(child.parent)) {
            queueNotification(
                "child\n" + id + "\n" + child.parent + "\n" + child.category, id, child.category,
                [this, id, child] {
                    auto service = m_registry.findById(id);
                    std::string error;
                    if (service && !m_channel->childCreate(*service, child.parent, child.category,
                                                           child.items, error)) {
                        Logger::getLogger()->warn("Service %s was not told of the child %s: %s",
                                                  service->name.c_str(), child.category.c_str(),
                                                  error.c_str());
                    }
                });
        }
    }
}

void Core::queueNotification(const std::string& key, const std::string& registration,
                             const std::string& category, std::function<void()> delivery) {
    if (m_notifications->post(key, std::move(delivery)) != TaskQueue::Posted::dropped)
        return;
    Logger::getLogger()->warn(
        "Notification of %s to registration %s dropped: %zu notifications wait already "
        "(--notify-queue)",
        category.c_str(), registration.c_str(), m_notifications->pending());
}

size_t Core::notificationsWaiting() const {
    return m_notifications ? m_notifications->pending() : 0;
}

void Core::forgetRegistration(const RegisteredService& service) {
    m_categories->removeInterests(service.id);
}
