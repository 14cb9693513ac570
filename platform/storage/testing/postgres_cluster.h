// A throwaway PostgreSQL cluster for tests and benchmarks: initdb in a fresh
// directory under /tmp, a server listening on a free loopback port and on a
// unix socket in that directory, and, at the end, the server stopped and
// the directory removed.
//
// Running as root, the cluster belongs to the `postgres` user (the server
// refuses to run as root): the directory is handed to it and initdb and
// the server run under its identity. The cluster trusts every local
// connection (user "postgres", no password) and runs without fsync; it is
// for throwaway data only.
//
// An attached cluster (the default) dies with the process that created it:
// the destructor stops it, and should the process itself die, the kernel
// sends the server SIGQUIT (immediate shutdown) when the thread that created
// the cluster ends. A detached cluster outlives its creator (`release`)
// and is stopped later by `destroy` with its directory, e.g. by another
// process.
//
// Thread-safety: one object is used by one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace storage_test {

class PostgresCluster {
  public:
    // The directory of the server programs (initdb, postgres): the one
    // `pg_config --bindir` names, else the newest /usr/lib/postgresql/*/bin;
    // empty when PostgreSQL is not installed.
    static std::string binDir();

    // Creates the cluster and starts its server; `detached` lets it outlive
    // this process. Throws std::runtime_error (with the server's log) when
    // initdb or the server fails.
    explicit PostgresCluster(bool detached = false);
    // Stops the server and removes the directory, unless released.
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // Stops the server (fast shutdown, then SIGQUIT, then SIGKILL of the
    // postmaster named in postmaster.pid); the data stays.
    void stop();
    // Starts the stopped server again on the same port and socket. Throws
    // std::runtime_error when it does not come up.
    void start();
    bool running() const { return m_running; }

    // The libpq connection text of `database` on this cluster (its unix
    // socket, user postgres).
    std::string conninfo(const std::string& database = "postgres") const;
    // The same over TCP on 127.0.0.1.
    std::string tcpConninfo(const std::string& database = "postgres") const;
    // Creates `database` unless it exists. Throws std::runtime_error.
    void createDatabase(const std::string& database);

    const std::string& directory() const { return m_directory; }
    uint16_t port() const { return m_port; }

    // Leaves the cluster running and its directory in place when this
    // object is destroyed; `destroy(directory())` removes it later.
    void release() { m_released = true; }

    // An object for the running cluster in `directory` listening on `port`,
    // which it does not own: its destructor leaves the cluster alone.
    static std::unique_ptr<PostgresCluster> attach(const std::string& directory, uint16_t port);

    // Stops the server of the cluster in `directory` (by the pid in its
    // postmaster.pid) and removes the directory. Does nothing for a
    // directory that is not there.
    static void destroy(const std::string& directory);

    // Removes the cluster directories under /tmp that no server runs in and
    // that have not changed for `age`: those of processes that died without
    // stopping their cluster (their server went with them).
    static void removeAbandoned(std::chrono::seconds age);

    // The connection text of `database` on a cluster in `directory`
    // listening on `port`.
    static std::string conninfoFor(const std::string& directory, uint16_t port,
                                   const std::string& database);

  private:
    struct Attached {};
    explicit PostgresCluster(Attached) {}
    void initialise();
    void launch();
    void waitUntilReady();
    std::string log() const;

    std::string m_bin;
    std::string m_directory;
    uint16_t m_port = 0;
    bool m_detached = false;
    bool m_running = false;
    bool m_released = false;
    pid_t m_child = -1;  // the postmaster, when it is our child
    uid_t m_uid = 0;     // identity the server runs under
    gid_t m_gid = 0;
};

}  // namespace storage_test
