// Throwaway PostgreSQL clusters: initdb, start, stop and removal.
#include "postgres_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace storage_test {

namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::seconds kStartTimeout(90);

std::string readAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The first line `command` prints, or "".
std::string firstLineOf(const char* command) {
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr) {
        return "";
    }
    char line[4096] = "";
    if (std::fgets(line, sizeof line, pipe) == nullptr) {
        line[0] = '\0';
    }
    pclose(pipe);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

bool hasServerPrograms(const std::string& directory) {
    return !directory.empty() && access((directory + "/initdb").c_str(), X_OK) == 0 &&
           access((directory + "/postgres").c_str(), X_OK) == 0;
}

uint16_t freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    if (port == 0) {
        throw std::runtime_error("no free loopback port");
    }
    return port;
}

// How a server program is started.
enum class Launch { Wait, Attached, Detached };

struct Identity {
    bool change = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

// In the forked child: output to `logFile`, the cluster's identity, then
// exec. Only async-signal-safe calls.
[[noreturn]] void execAs(char* const* argv, const char* logFile, const Identity& identity,
                         pid_t parent, bool dieWithParent) {
    int null = open("/dev/null", O_RDONLY);
    int log = open(logFile, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (null < 0 || log < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(log, STDOUT_FILENO) < 0 ||
        dup2(log, STDERR_FILENO) < 0) {
        _exit(126);
    }
    for (int fd = 3; fd < 1024; ++fd) {
        close(fd);
    }
    if (identity.change &&
        (setgroups(0, nullptr) != 0 || setgid(identity.gid) != 0 || setuid(identity.uid) != 0)) {
        _exit(126);
    }
    // Set after the identity change, which would clear it.
    if (dieWithParent && (prctl(PR_SET_PDEATHSIG, SIGQUIT) != 0 || getppid() != parent)) {
        _exit(126);
    }
    execve(argv[0], argv, environ);
    _exit(127);
}

// Starts `arguments`; returns the exit status (Wait), the child's pid
// (Attached) or 0 (Detached, the program runs in a session of its own).
int spawn(const std::vector<std::string>& arguments, const std::string& logFile,
          const Identity& identity, Launch launch) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        if (launch == Launch::Detached) {
            setsid();
            if (fork() != 0) {
                _exit(0);
            }
        }
        execAs(argv.data(), logFile.c_str(), identity, parent, launch == Launch::Attached);
    }
    if (launch == Launch::Attached) {
        return pid;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The postmaster's pid from `dataDirectory`/postmaster.pid, if that process
// still runs and is a postgres server.
pid_t postmasterPid(const std::string& dataDirectory) {
    std::ifstream file(dataDirectory + "/postmaster.pid");
    long pid = 0;
    if (!(file >> pid) || pid <= 1) {
        return -1;
    }
    // A stale file may name a pid that now belongs to another program.
    const std::string command = readAll("/proc/" + std::to_string(pid) + "/cmdline");
    return command.find("postgres") != std::string::npos ? static_cast<pid_t>(pid) : -1;
}

// True once `pid` has ended (reaped when it is our child).
bool ended(pid_t pid, bool child) {
    if (child) {
        int status = 0;
        const pid_t reaped = waitpid(pid, &status, WNOHANG);
        return reaped == pid || (reaped < 0 && errno == ECHILD);
    }
    return kill(pid, 0) != 0 && errno == ESRCH;
}

bool waitForEnd(pid_t pid, bool child, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!ended(pid, child)) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Fast shutdown, then immediate shutdown, then SIGKILL.
void stopServer(pid_t pid, bool child) {
    if (pid <= 0) {
        return;
    }
    const std::pair<int, std::chrono::milliseconds> steps[] = {{SIGINT, std::chrono::seconds(20)},
                                                               {SIGQUIT, std::chrono::seconds(10)},
                                                               {SIGKILL, std::chrono::seconds(10)}};
    for (const auto& [signal, patience] : steps) {
        if (kill(pid, signal) != 0 || waitForEnd(pid, child, patience)) {
            break;
        }
    }
    if (child) {
        int status = 0;
        waitpid(pid, &status, WNOHANG);
    }
}

}  // namespace

std::string PostgresCluster::binDir() {
    std::string configured = firstLineOf("pg_config --bindir 2>/dev/null");
    if (hasServerPrograms(configured)) {
        return configured;
    }
    glob_t found{};
    std::string newest;
    if (glob("/usr/lib/postgresql/*/bin", 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            std::string candidate = found.gl_pathv[i];
            // Versions sort numerically: compare the version directory as a number.
            auto version = [](const std::string& path) {
                return std::atoi(path.c_str() + std::string("/usr/lib/postgresql/").size());
            };
            if (hasServerPrograms(candidate) &&
                (newest.empty() || version(candidate) > version(newest))) {
                newest = candidate;
            }
        }
    }
    globfree(&found);
    return newest;
}

PostgresCluster::PostgresCluster(bool detached) : m_detached(detached) {
    m_bin = binDir();
    if (m_bin.empty()) {
        throw std::runtime_error("PostgreSQL server programs (initdb, postgres) are not installed");
    }
    char pattern[] = "/tmp/tarvolt-pg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot create a directory for the PostgreSQL cluster");
    }
    m_directory = pattern;
    try {
        initialise();
        m_port = freeLoopbackPort();
        start();
    } catch (...) {
        destroy(m_directory);
        throw;
    }
}

PostgresCluster::~PostgresCluster() {
    if (!m_released) {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
}

void PostgresCluster::initialise() {
    if (geteuid() == 0) {
        passwd* user = getpwnam("postgres");
        if (user == nullptr) {
            throw std::runtime_error("running as root, but there is no user \"postgres\"");
        }
        m_uid = user->pw_uid;
        m_gid = user->pw_gid;
        if (chown(m_directory.c_str(), m_uid, m_gid) != 0) {
            throw std::runtime_error("cannot hand " + m_directory + " to the postgres user");
        }
    } else {
        m_uid = geteuid();
        m_gid = getegid();
    }
    chmod(m_directory.c_str(), 0700);
    const int status =
        spawn({m_bin + "/initdb", "-D", m_directory + "/data", "-A", "trust", "-U", "postgres",
               "-E", "UTF8", "--locale=C", "--no-sync"},
              m_directory + "/initdb.log", {geteuid() == 0, m_uid, m_gid}, Launch::Wait);
    if (status != 0) {
        throw std::runtime_error("initdb failed (status " + std::to_string(status) +
                                 "): " + readAll(m_directory + "/initdb.log"));
    }
}

void PostgresCluster::start() {
    if (m_running) {
        return;
    }
    launch();
    m_running = true;
    try {
        waitUntilReady();
    } catch (...) {
        stop();
        throw;
    }
}

void PostgresCluster::launch() {
    const std::vector<std::string> arguments{m_bin + "/postgres",
                                             "-D",
                                             m_directory + "/data",
                                             "-p",
                                             std::to_string(m_port),
                                             "-k",
                                             m_directory,
                                             "-c",
                                             "listen_addresses=127.0.0.1",
                                             "-c",
                                             "fsync=off",
                                             "-c",
                                             "synchronous_commit=off",
                                             "-c",
                                             "full_page_writes=off",
                                             "-c",
                                             "max_connections=200",
                                             "-c",
                                             "logging_collector=off"};
    const Identity identity{geteuid() == 0, m_uid, m_gid};
    m_child = spawn(arguments, m_directory + "/server.log", identity,
                    m_detached ? Launch::Detached : Launch::Attached);
    if (m_detached) {
        m_child = -1;
    }
}

void PostgresCluster::waitUntilReady() {
    const std::string target = conninfo();
    const auto deadline = Clock::now() + kStartTimeout;
    while (PQping(target.c_str()) != PQPING_OK) {
        if (m_child > 0 && ended(m_child, true)) {
            m_child = -1;
            throw std::runtime_error("the PostgreSQL server ended: " + log());
        }
        if (Clock::now() > deadline) {
            throw std::runtime_error("the PostgreSQL server did not start: " + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void PostgresCluster::stop() {
    if (!m_running) {
        return;
    }
    pid_t pid = m_child > 0 ? m_child : postmasterPid(m_directory + "/data");
    stopServer(pid, m_child > 0);
    m_child = -1;
    m_running = false;
}

std::string PostgresCluster::log() const {
    return readAll(m_directory + "/server.log");
}

std::string PostgresCluster::conninfo(const std::string& database) const {
    return conninfoFor(m_directory, m_port, database);
}

std::string PostgresCluster::tcpConninfo(const std::string& database) const {
    return "host=127.0.0.1 port=" + std::to_string(m_port) + " user=postgres dbname=" + database;
}

std::string PostgresCluster::conninfoFor(const std::string& directory, uint16_t port,
                                         const std::string& database) {
    return "host=" + directory + " port=" + std::to_string(port) +
           " user=postgres dbname=" + database;
}

void PostgresCluster::createDatabase(const std::string& database) {
    PGconn* connection = PQconnectdb(conninfo().c_str());
    std::string error;
    if (PQstatus(connection) != CONNECTION_OK) {
        error = PQerrorMessage(connection);
    } else {
        const char* values[] = {database.c_str()};
        PGresult* found = PQexecParams(connection, "SELECT 1 FROM pg_database WHERE datname = $1",
                                       1, nullptr, values, nullptr, nullptr, 0);
        const bool exists = PQresultStatus(found) == PGRES_TUPLES_OK && PQntuples(found) == 1;
        PQclear(found);
        if (!exists) {
            char* quoted = PQescapeIdentifier(connection, database.c_str(), database.size());
            PGresult* created =
                PQexec(connection, ("CREATE DATABASE " + std::string(quoted)).c_str());
            PQfreemem(quoted);
            if (PQresultStatus(created) != PGRES_COMMAND_OK) {
                error = PQerrorMessage(connection);
            }
            PQclear(created);
        }
    }
    PQfinish(connection);
    if (!error.empty()) {
        throw std::runtime_error("cannot create database " + database + ": " + error);
    }
}

void PostgresCluster::removeAbandoned(std::chrono::seconds age) {
    glob_t found{};
    if (glob("/tmp/tarvolt-pg-*", GLOB_ONLYDIR, nullptr, &found) == 0) {
        const auto now = std::filesystem::file_time_type::clock::now();
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            const std::string directory = found.gl_pathv[i];
            std::error_code error;
            const auto changed = std::filesystem::last_write_time(directory, error);
            if (!error && now - changed > age && postmasterPid(directory + "/data") < 0) {
                std::filesystem::remove_all(directory, error);
            }
        }
    }
    globfree(&found);
}

std::unique_ptr<PostgresCluster> PostgresCluster::attach(const std::string& directory,
                                                         uint16_t port) {
    std::unique_ptr<PostgresCluster> cluster(new PostgresCluster(Attached{}));
    cluster->m_bin = binDir();
    cluster->m_directory = directory;
    cluster->m_port = port;
    cluster->m_detached = true;
    cluster->m_running = true;
    cluster->m_released = true;
    return cluster;
}

void PostgresCluster::destroy(const std::string& directory) {
    if (directory.empty() || !std::filesystem::exists(directory)) {
        return;
    }
    stopServer(postmasterPid(directory + "/data"), false);
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

}  // namespace storage_test
