// A pool of database connections shared by the request threads. At most
// `maxConnections` connections exist; they are opened on demand and then
// kept, so with as many connections as request threads each request thread
// in effect keeps one connection (and its prepared statements) for itself.
// A request holds its connection through a `Lease` for the whole request.
//
// Thread-safety: `acquire` may be called from any thread; a leased
// connection belongs to the lease holder alone until the lease ends.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace storage {

template <class Connection>
class ConnectionPool {
  public:
    using Opener = std::function<std::unique_ptr<Connection>()>;
    class Lease;

    // `open` creates a new connection or throws (StorageError).
    ConnectionPool(Opener open, unsigned maxConnections)
        : m_open(std::move(open)), m_maxConnections(maxConnections == 0 ? 1 : maxConnections) {}

    // A connection for the caller's exclusive use until the lease ends; the
    // one released last when several are idle (its statements are warm).
    // Waits while all connections are in use. Throws what `open` throws when
    // a new connection cannot be opened; the pool stays usable.
    Lease acquire() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_available.wait(lock, [this] { return !m_idle.empty() || m_opened < m_maxConnections; });
        if (!m_idle.empty()) {
            std::unique_ptr<Connection> connection = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(connection));
        }
        ++m_opened;
        lock.unlock();
        try {
            return Lease(*this, m_open());
        } catch (...) {
            lock.lock();
            --m_opened;
            m_available.notify_one();
            throw;
        }
    }

  private:
    void release(std::unique_ptr<Connection> connection) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(std::move(connection));
        m_available.notify_one();
    }

    Opener m_open;
    unsigned m_maxConnections;
    unsigned m_opened = 0;
    std::mutex m_mutex;
    std::condition_variable m_available;
    std::vector<std::unique_ptr<Connection>> m_idle;
};

template <class Connection>
class ConnectionPool<Connection>::Lease {
  public:
    Lease(ConnectionPool& pool, std::unique_ptr<Connection> connection)
        : m_pool(&pool), m_connection(std::move(connection)) {}
    Lease(Lease&& other) = default;
    ~Lease() {
        if (m_connection) {
            m_pool->release(std::move(m_connection));
        }
    }
    Connection* operator->() { return m_connection.get(); }
    Connection& operator*() { return *m_connection; }

  private:
    ConnectionPool* m_pool;
    std::unique_ptr<Connection> m_connection;
};

}  // namespace storage
