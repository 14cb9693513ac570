#include "supervisor.h"

#include <csignal>
#include <map>

#include "logger.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string logFileOf(const std::string& dataDir, const std::string& name) {
    return dataDir + "/logs/" + name + ".log";
}

}  // namespace

Supervisor::Supervisor(std::vector<SupervisedService> services, SupervisorConfig config,
                       SupervisorHooks hooks, ProcessLauncher& launcher)
    : m_config(std::move(config)), m_hooks(std::move(hooks)), m_launcher(launcher) {
    for (auto& service : services) {
        Entry entry;
        entry.service = std::move(service);
        m_entries.push_back(std::move(entry));
    }
}

Supervisor::~Supervisor() {
    stopAll();
}

void Supervisor::start() {
    m_thread = std::thread([this] { run(); });
}

void Supervisor::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        tick();
        m_wake.wait_for(lock, m_config.tick);
    }
}

void Supervisor::tick() {
    auto now = Clock::now();
    for (auto& entry : m_entries) {
        std::string how;
        if (entry.state == State::Running && m_launcher.reap(entry.pid, how))
            onExit(entry, how);
        if (entry.state == State::Waiting) {
            if (entry.service.after.empty() || m_hooks.isRegistered(entry.service.after)) {
                launch(entry);
            } else if (!entry.waitLogged) {
                Logger::getLogger()->info("Service %s waits for %s to register",
                                          entry.service.name.c_str(), entry.service.after.c_str());
                entry.waitLogged = true;
            }
        }
        if (entry.state == State::BackingOff && now >= entry.retryAt)
            launch(entry);
    }
}

void Supervisor::launch(Entry& entry) {
    Logger* logger = Logger::getLogger();
    const SupervisedService& service = entry.service;
    if (!m_launcher.executable(service.executable)) {
        logger->error("Cannot launch service %s: %s is missing or not executable",
                      service.name.c_str(), service.executable.c_str());
        entry.state = State::Missing;
        return;
    }
    std::vector<std::string> args{"-d", "--port=" + std::to_string(m_config.managementPort),
                                  "--address=127.0.0.1", "--name=" + service.name};
    // The token goes through the environment: the command line is readable
    // by every local user.
    std::map<std::string, std::string> env{{"TARVOLT_DATA", m_config.dataDir},
                                           {"TARVOLT_TOKEN", m_hooks.issueToken(service.name)}};
    if (!m_config.coreToken.empty())
        env["TARVOLT_CORE_TOKEN"] = m_config.coreToken;
    std::string error;
    pid_t pid = m_launcher.launch(service.executable, args, env,
                                  logFileOf(m_config.dataDir, service.name), error);
    entry.restartExpected = false;
    entry.stopExpected = false;
    if (pid < 0) {
        logger->error("Cannot launch service %s: %s", service.name.c_str(), error.c_str());
        entry.state = State::BackingOff;
        entry.retryAt = Clock::now() + m_config.maxBackoff;
        return;
    }
    logger->info("Launched service %s (process %d)", service.name.c_str(), static_cast<int>(pid));
    entry.pid = pid;
    entry.state = State::Running;
    entry.startedAt = Clock::now();
}

void Supervisor::onExit(Entry& entry, const std::string& how) {
    Logger* logger = Logger::getLogger();
    const std::string& name = entry.service.name;
    entry.pid = -1;
    m_hooks.forget(name);
    if (entry.restartExpected && !m_stopping) {
        logger->info("Service %s ended (%s); restarting it", name.c_str(), how.c_str());
        launch(entry);
        return;
    }
    if (entry.stopExpected || m_stopping) {
        logger->info("Service %s stopped (%s)", name.c_str(), how.c_str());
        entry.state = State::Stopped;
        return;
    }
    auto ran = Clock::now() - entry.startedAt;
    entry.failures = ran >= m_config.stableRun ? 1 : entry.failures + 1;
    auto delay = m_config.minBackoff;
    for (int i = 1; i < entry.failures && delay < m_config.maxBackoff; ++i)
        delay *= 2;
    delay = std::min(delay, m_config.maxBackoff);
    logger->error("Service %s ended unexpectedly (%s); restarting it in %lld ms", name.c_str(),
                  how.c_str(), static_cast<long long>(delay.count()));
    entry.state = State::BackingOff;
    entry.retryAt = Clock::now() + delay;
}

Supervisor::Entry* Supervisor::find(const std::string& name) {
    for (auto& entry : m_entries) {
        if (entry.service.name == name)
            return &entry;
    }
    return nullptr;
}

const Supervisor::Entry* Supervisor::find(const std::string& name) const {
    for (const auto& entry : m_entries) {
        if (entry.service.name == name)
            return &entry;
    }
    return nullptr;
}

bool Supervisor::supervises(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return find(name) != nullptr;
}

pid_t Supervisor::pidOf(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Entry* entry = find(name);
    return entry != nullptr && entry->state == State::Running ? entry->pid : -1;
}

bool Supervisor::expectRestart(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry* entry = find(name);
    if (entry == nullptr)
        return false;
    entry->restartExpected = true;
    entry->stopExpected = false;
    return true;
}

bool Supervisor::expectStop(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry* entry = find(name);
    if (entry == nullptr)
        return false;
    entry->stopExpected = true;
    entry->restartExpected = false;
    return true;
}

void Supervisor::noteUnregistered(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry* entry = find(name);
    if (entry != nullptr && !entry->restartExpected)
        entry->stopExpected = true;
}

bool Supervisor::launchIfStopped(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry* entry = find(name);
    if (entry == nullptr || m_stopping)
        return false;
    if (entry->state != State::Stopped && entry->state != State::BackingOff)
        return false;
    entry->failures = 0;
    launch(*entry);
    return entry->state == State::Running;
}

void Supervisor::stopAll() {
    std::vector<std::pair<std::string, pid_t>> running;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            return;
        m_stopped = true;
        m_stopping = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
            if (it->state == State::Running)
                running.emplace_back(it->service.name, it->pid);
        }
    }
    for (const auto& [name, pid] : running)
        stopOne(name, pid);
}

void Supervisor::stopOne(const std::string& name, pid_t pid) {
    Logger* logger = Logger::getLogger();
    if (!m_hooks.askShutdown(name)) {
        logger->warn("Service %s did not take the shutdown request; sending SIGTERM", name.c_str());
        m_launcher.signal(pid, SIGTERM);
    }
    if (waitForExit(name, pid, m_config.stopTimeout))
        return;
    logger->warn("Service %s did not stop within %lld ms; killing it", name.c_str(),
                 static_cast<long long>(m_config.stopTimeout.count()));
    m_launcher.signal(pid, SIGKILL);
    waitForExit(name, pid, std::chrono::seconds(5));
}

bool Supervisor::waitForExit(const std::string& name, pid_t pid,
                             std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        std::string how;
        if (m_launcher.reap(pid, how)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            Entry* entry = find(name);
            if (entry != nullptr)
                onExit(*entry, how);
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(m_config.tick);
    }
}
