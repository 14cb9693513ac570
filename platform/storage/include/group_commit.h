// Group commit: the writes of concurrent requests share one database
// transaction, and so one sync of the log, instead of paying one each.
//
// A writer queues its work; the first writer to find no batch running
// becomes the leader, takes every queued work (up to kMaxGroup), and runs
// them in one transaction on one connection, each inside a savepoint: a
// work that throws is rolled back to its savepoint and gets its exception,
// the others go on. Once the transaction has committed every writer of the
// batch returns (or throws the commit's failure); a writer never returns
// before its work is committed. While a batch runs, new writers queue up
// for the next one. Each writer waits on a condition of its own: the end of
// a batch wakes its writers and the first queued writer, who leads next.
//
// `Connection` needs `run(sql)` (a statement without rows) and
// `transaction(work)` (runs `work` between BEGIN and COMMIT, rolled back
// when it throws). With grouping off every writer runs its own transaction.
//
// Thread-safety: `write` may be called from any thread at any time.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace storage {

template <class Connection>
class GroupCommit {
  public:
    using Work = std::function<void(Connection&)>;
    // Hands out a connection for one transaction, through `use`.
    using Lender = std::function<void(const std::function<void(Connection&)>& use)>;

    static constexpr size_t kMaxGroup = 64;

    GroupCommit(Lender lend, bool grouping) : m_lend(std::move(lend)), m_grouping(grouping) {}

    // Runs `work` in a committed transaction. Returns once it is committed;
    // throws what `work` threw (its changes rolled back) or the failure of
    // the transaction itself.
    void write(const Work& work) {
        if (!m_grouping) {
            m_lend(
                [&](Connection& connection) { connection.transaction([&] { work(connection); }); });
            return;
        }
        Pending mine;
        mine.work = &work;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_queue.push_back(&mine);
        while (!mine.done) {
            if (m_leading) {
                mine.wake.wait(lock);
                continue;
            }
            m_leading = true;
            std::vector<Pending*> batch;
            while (!m_queue.empty() && batch.size() < kMaxGroup) {
                batch.push_back(m_queue.front());
                m_queue.pop_front();
            }
            lock.unlock();
            runBatch(batch);
            lock.lock();
            finishBatch(batch, mine);
        }
        if (mine.error) {
            std::rethrow_exception(mine.error);
        }
    }

    // The transactions committed (or tried) by leaders so far, and the
    // writers waiting for the next one.
    uint64_t batches() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_batches;
    }
    size_t queued() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queue.size();
    }

  private:
    struct Pending {
        const Work* work = nullptr;
        std::exception_ptr error;
        bool done = false;
        std::condition_variable wake;  // notified once done, or to lead the next batch
    };

    // Wakes exactly the writers of `batch` (but the leader, `self`) and the
    // writer that leads the next batch, so that a commit costs no wake-up of
    // a writer that then only waits again. Called with `m_mutex` held, so no
    // woken writer returns (ending its Pending) before the notifications.
    void finishBatch(const std::vector<Pending*>& batch, Pending& self) {
        for (Pending* pending : batch) {
            pending->done = true;
            if (pending != &self) {
                pending->wake.notify_one();
            }
        }
        m_leading = false;
        m_batches++;
        if (!m_queue.empty()) {
            m_queue.front()->wake.notify_one();
        }
    }

    void runBatch(const std::vector<Pending*>& batch) {
        try {
            m_lend([&](Connection& connection) {
                connection.transaction([&] {
                    if (batch.size() == 1) {
                        (*batch.front()->work)(connection);  // throws: the whole is rolled back
                        return;
                    }
                    for (Pending* pending : batch) {
                        runInSavepoint(connection, *pending);
                    }
                });
            });
        } catch (...) {
            for (Pending* pending : batch) {
                if (!pending->error) {
                    pending->error = std::current_exception();
                }
            }
        }
    }

    static void runInSavepoint(Connection& connection, Pending& pending) {
        connection.run("SAVEPOINT tarvolt_group");
        try {
            (*pending.work)(connection);
        } catch (...) {
            pending.error = std::current_exception();
            connection.run("ROLLBACK TO SAVEPOINT tarvolt_group");
        }
        connection.run("RELEASE SAVEPOINT tarvolt_group");
    }

    Lender m_lend;
    const bool m_grouping;
    mutable std::mutex m_mutex;
    std::deque<Pending*> m_queue;
    bool m_leading = false;
    uint64_t m_batches = 0;
};

}  // namespace storage
