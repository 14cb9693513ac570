// WriterLease: reading, taking, renewing and releasing the lease row.
#include "writer_lease.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <thread>

#include "bucket_schema.h"
#include "logger.h"
#include "query.h"
#include "table_storage.h"

namespace {

constexpr const char* kSlot = "1";
// How often a waiting starter reads the lease again.
constexpr std::chrono::milliseconds kWaitStep{250};

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return "unknown";
    }
    return name;
}

std::string utcTime(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32] = {};
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

int64_t integerOf(const ResultSet::Row& row, const char* column) {
    const ColumnValue* value = row.getColumn(column);
    return value != nullptr && value->isInteger() ? value->getInteger() : 0;
}

std::string textOf(const ResultSet::Row& row, const char* column) {
    const ColumnValue* value = row.getColumn(column);
    return value != nullptr && value->getType() != NULL_COLUMN ? value->getString() : "";
}

}  // namespace

LeaseHolder LeaseHolder::ofThisProcess(const std::string& name) {
    return LeaseHolder{name, hostName(), static_cast<int64_t>(getpid()), nowMs()};
}

std::string LeaseHolder::describe() const {
    return "service '" + name + "' on host " + host + " (pid " + std::to_string(pid) +
           ", started " + utcTime(startedMs) + ")";
}

WriterLease::WriterLease(TableStorage& storage, Logger& logger, LeaseHolder self, Timing timing)
    : m_storage(storage), m_logger(logger), m_self(std::move(self)), m_timing(timing) {}

WriterLease::Outcome WriterLease::acquire(const std::function<bool()>& stopping,
                                          std::string& reason) {
    std::optional<int64_t> waitUntil;  // set once waiting for an earlier run
    for (int failures = 0; failures < 3;) {
        std::optional<Row> row;
        if (!readRow(row, reason)) {
            return Outcome::Failed;
        }
        Step step = Step::Lost;
        if (!row) {
            step = insertFirst();
        } else if (row->expiresMs <= nowMs() || earlierRunHasEnded(row->holder)) {
            step = takeOver(row->generation);
        } else if (!mayWaitFor(*row, waitUntil, reason)) {
            return Outcome::Refused;
        } else if (stopping()) {
            return Outcome::Stopped;
        } else {
            std::this_thread::sleep_for(kWaitStep);
            continue;
        }
        if (step == Step::Taken) {
            return Outcome::Taken;
        }
        failures += step == Step::Failed ? 1 : 0;  // a lost race reads again
    }
    reason = "Unable to write the writer lease in the storage service";
    return Outcome::Failed;
}

bool WriterLease::mayWaitFor(const Row& row, std::optional<int64_t>& waitUntil,
                             std::string& reason) {
    const std::string holder = row.holder.describe();
    if (!isEarlierRun(row.holder)) {
        reason = "The bucket index is held by bucket " + holder + " until " +
                 utcTime(row.expiresMs) +
                 "; a second bucket service over the same index would hand out the same ids";
        return false;
    }
    if (!waitUntil) {
        // The lease may be left over from a run of this service that was
        // killed: it ends within one term unless that run still renews it.
        waitUntil = nowMs() + (m_timing.term + m_timing.renewal).count();
        m_logger.info(
            "The writer lease of the bucket index is held by %s, which may be an "
            "earlier run of this service that did not stop in order; waiting up to "
            "%lld ms for the lease to end",
            holder.c_str(), static_cast<long long>(*waitUntil - nowMs()));
    }
    if (nowMs() > *waitUntil) {
        reason = "The bucket index is held by bucket " + holder +
                 ", which still renews its lease; a second bucket service over the same "
                 "index would hand out the same ids";
        return false;
    }
    return true;
}

bool WriterLease::isEarlierRun(const LeaseHolder& holder) const {
    return holder.name == m_self.name && holder.host == m_self.host && holder.pid != m_self.pid;
}

bool WriterLease::earlierRunHasEnded(const LeaseHolder& holder) const {
    // Only a process of this host can be looked up; a pid that no longer
    // exists cannot renew anything.
    return isEarlierRun(holder) && kill(static_cast<pid_t>(holder.pid), 0) == -1 && errno == ESRCH;
}

bool WriterLease::readRow(std::optional<Row>& row, std::string& reason) {
    Query query(new Where("slot", Equals, kSlot));
    RowsResult result = m_storage.select(bucket_schema::kName, bucket_schema::kLease, query);
    if (!result) {
        reason = "Unable to read the writer lease from the storage service: " + result.reason();
        return false;
    }
    if (result.value()->rowCount() == 0) {
        row.reset();
        return true;
    }
    const ResultSet::Row& found = *(*result.value())[0];
    row = Row{integerOf(found, "generation"),
              LeaseHolder{textOf(found, "name"), textOf(found, "host"), integerOf(found, "pid"),
                          integerOf(found, "started")},
              integerOf(found, "expires")};
    return true;
}

WriterLease::Step WriterLease::insertFirst() {
    InsertValues values{{"slot", kSlot},
                        {"generation", 1L},
                        {"name", m_self.name},
                        {"host", m_self.host},
                        {"pid", static_cast<long>(m_self.pid)},
                        {"started", static_cast<long>(m_self.startedMs)},
                        {"expires", static_cast<long>(nowMs() + m_timing.term.count())}};
    CountResult result = m_storage.insert(bucket_schema::kName, bucket_schema::kLease, values);
    if (!result) {
        // Either another starter inserted first (the key refuses the second)
        // or the storage failed; reading again tells which.
        m_logger.debug("The first writer lease was not inserted: %s", result.reason().c_str());
        return Step::Failed;
    }
    m_generation = 1;
    return Step::Taken;
}

WriterLease::Step WriterLease::takeOver(int64_t generation) {
    InsertValues values{{"generation", static_cast<long>(generation + 1)},
                        {"name", m_self.name},
                        {"host", m_self.host},
                        {"pid", static_cast<long>(m_self.pid)},
                        {"started", static_cast<long>(m_self.startedMs)},
                        {"expires", static_cast<long>(nowMs() + m_timing.term.count())}};
    Where where("slot", Equals, kSlot, new Where("generation", Equals, std::to_string(generation)));
    CountResult result =
        m_storage.update(bucket_schema::kName, bucket_schema::kLease, values, where);
    if (!result) {
        m_logger.warn("Unable to take over the writer lease: %s", result.reason().c_str());
        return Step::Failed;
    }
    if (result.value() == 0) {
        return Step::Lost;  // another starter took it first
    }
    m_generation = generation + 1;
    return Step::Taken;
}

CountResult WriterLease::updateHeld(const InsertValues& values) {
    Where where("slot", Equals, kSlot,
                new Where("generation", Equals, std::to_string(m_generation)));
    return m_storage.update(bucket_schema::kName, bucket_schema::kLease, values, where);
}

bool WriterLease::renew() {
    if (m_generation == 0) {
        return false;
    }
    InsertValues values{{"expires", static_cast<long>(nowMs() + m_timing.term.count())}};
    CountResult result = updateHeld(values);
    if (!result) {
        m_logger.warn("Unable to renew the writer lease: %s", result.reason().c_str());
        return true;
    }
    if (result.value() == 0) {
        m_generation = 0;
        return false;
    }
    return true;
}

void WriterLease::release() {
    if (m_generation == 0) {
        return;
    }
    InsertValues values{{"expires", 0L}};
    CountResult result = updateHeld(values);
    if (!result) {
        m_logger.warn("Unable to release the writer lease: %s", result.reason().c_str());
        return;
    }
    m_generation = 0;
    m_logger.info("Released the writer lease of the bucket index");
}
