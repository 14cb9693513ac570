// ChangeFeed: the rows of "bucket_changes", their sequence and their window.
#include "change_feed.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "bucket_schema.h"
#include "http/validators.h"
#include "json_util.h"
#include "query.h"
#include "result_set.h"
#include "storage_documents.h"

using bucket_schema::kChanges;
using bucket_schema::kName;

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string attributesJson(const Bucket::Attributes& attributes) {
    std::string json = "{";
    const char* separator = " ";
    for (const auto& [name, value] : attributes) {
        json += separator + JSONquote(name) + " : " + JSONquote(value);
        separator = ", ";
    }
    return json + " }";
}

std::optional<uint64_t> integerOf(const ResultSet::Row& row, const char* column) {
    const ColumnValue* value = row.getColumn(column);
    if (value == nullptr || value->getType() == NULL_COLUMN || value->getInteger() < 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(value->getInteger());
}

std::string textOf(const ResultSet::Row& row, const char* column) {
    const ColumnValue* value = row.getColumn(column);
    return value == nullptr || value->getType() == NULL_COLUMN ? "" : value->getString();
}

ChangeFeed::Change changeOf(const ResultSet::Row& row) {
    ChangeFeed::Change change;
    change.seq = integerOf(row, "seq").value_or(0);
    change.timeMs = static_cast<int64_t>(integerOf(row, "time").value_or(0));
    change.op = textOf(row, "op");
    change.bucket = integerOf(row, "bucket").value_or(0);
    change.attributes = textOf(row, "attributes");
    change.size = integerOf(row, "size");
    change.etag = textOf(row, "etag");
    return change;
}

}  // namespace

bool ChangeFeed::start() {
    std::optional<std::optional<uint64_t>> largest = readSeq("max", nullptr);
    std::optional<std::optional<uint64_t>> smallest = readSeq("min", nullptr);
    if (!largest || !smallest) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_last = std::max(m_last, largest->value_or(0));
    m_trimmed = *smallest ? **smallest - 1 : m_last;
    m_started = true;
    return true;
}

// The aggregate of "seq" over the rows `where` selects (every row when
// null): nullopt when the query failed, an empty value when no row matched.
std::optional<std::optional<uint64_t>> ChangeFeed::readSeq(const char* aggregate, Where* where) {
    Query query(new Aggregate(aggregate, "seq"),
                where != nullptr ? where : new Where("seq", GreaterThan, "-1"));
    RowsResult selected = m_storage->select(kName, kChanges, query);
    if (!selected) {
        return std::nullopt;
    }
    ResultSet& result = *selected.value();
    const ColumnValue* column = result.rowCount() == 0 ? nullptr : result[0]->getColumn(0u);
    if (column == nullptr || column->getType() == NULL_COLUMN) {
        return std::optional<uint64_t>();
    }
    if (!column->isInteger() || column->getInteger() < 0) {
        return std::nullopt;
    }
    return std::optional<uint64_t>(static_cast<uint64_t>(column->getInteger()));
}

TableWrite ChangeFeed::rowOf(uint64_t seq, const Entry& entry) const {
    InsertValues values{InsertValue("seq", std::to_string(seq)),
                        InsertValue("time", std::to_string(nowMs())), InsertValue("op", entry.op),
                        InsertValue("bucket", std::to_string(entry.bucket))};
    if (entry.attributes == nullptr) {
        return storage_documents::insertWrite(kName, kChanges, values);
    }
    values.push_back(InsertValue("attributes", attributesJson(*entry.attributes)));
    struct stat status {};
    if (::stat(entry.file.c_str(), &status) == 0) {
        const int64_t modified =
            static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
        const uint64_t size = static_cast<uint64_t>(status.st_size);
        values.push_back(InsertValue("size", std::to_string(size)));
        values.push_back(InsertValue("etag", http::fileValidators(size, modified).etag));
    }
    return storage_documents::insertWrite(kName, kChanges, values);
}

CountsResult ChangeFeed::commit(std::vector<TableWrite> writes, const Entry& entry) {
    uint64_t seq = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_started) {
            seq = ++m_last;
            m_inFlight.insert(seq);
        }
    }
    if (seq == 0) {  // not started: nothing to record
        return writes.empty() ? CountsResult::ok({}) : m_storage->transact(writes);
    }
    writes.push_back(rowOf(seq, entry));
    CountsResult rows = m_storage->transact(writes);
    ended(seq);
    if (!rows) {
        return rows;
    }
    if (rows.value().size() != writes.size() || rows.value().back() < 1) {
        return CountsResult::failed("the change's row was not written");
    }
    rows.value().pop_back();
    return rows;
}

void ChangeFeed::ended(uint64_t seq) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inFlight.erase(seq);
    }
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    if (m_listener) {
        m_listener();
    }
}

uint64_t ChangeFeed::visibleLocked() const {
    return m_inFlight.empty() ? m_last : *m_inFlight.begin() - 1;
}

uint64_t ChangeFeed::visibleSeq() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return visibleLocked();
}

bool ChangeFeed::hasNews(uint64_t after) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return after < m_trimmed || visibleLocked() > after;
}

// Reads windows of `limit` seqs until the page is full or the visible seq
// is reached: a gap (a failed transaction) only costs one more query.
std::optional<ChangeFeed::Page> ChangeFeed::read(uint64_t after, size_t limit) {
    Page page;
    page.next = after;
    uint64_t last = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (after < m_trimmed) {
            page.oldest = m_trimmed + 1;
            return page;
        }
        last = visibleLocked();
    }
    for (uint64_t from = after; page.changes.size() < limit && from < last;) {
        const uint64_t to = std::min(last, from + (limit - page.changes.size()));
        std::optional<std::vector<Change>> rows = readRange(from, to);
        if (!rows) {
            return std::nullopt;
        }
        std::move(rows->begin(), rows->end(), std::back_inserter(page.changes));
        from = to;
    }
    // A trim that ran meanwhile may have taken rows of this page.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (after < m_trimmed) {
        return Page{{}, after, m_trimmed + 1};
    }
    if (!page.changes.empty()) {
        page.next = page.changes.back().seq;
    }
    return page;
}

std::optional<std::vector<ChangeFeed::Change>> ChangeFeed::readRange(uint64_t after,
                                                                     uint64_t last) {
    Query query(new Where("seq", GreaterThan, std::to_string(after),
                          new Where("seq", LessOrEqual, std::to_string(last))));
    RowsResult selected = m_storage->select(kName, kChanges, query);
    if (!selected) {
        return std::nullopt;
    }
    ResultSet& rows = *selected.value();
    std::vector<Change> changes;
    changes.reserve(rows.rowCount());
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        changes.push_back(changeOf(*rows[i]));
    }
    std::sort(changes.begin(), changes.end(),
              [](const Change& a, const Change& b) { return a.seq < b.seq; });
    return changes;
}

// The window moves before the rows go, so a reader never takes a page
// with rows missing for a complete one.
bool ChangeFeed::trim(size_t keep, int64_t maxAgeSeconds) {
    const uint64_t visible = visibleSeq();
    if (visible == 0) {
        return true;
    }
    uint64_t through = visible > keep ? visible - keep : 0;
    if (maxAgeSeconds > 0) {
        const std::string cutoff = std::to_string(nowMs() - maxAgeSeconds * 1000);
        std::optional<std::optional<uint64_t>> old =
            readSeq("max", new Where("time", LessThan, cutoff));
        if (!old) {
            return false;
        }
        through = std::max(through, old->value_or(0));
    }
    through = std::min(through, visible - 1);  // the newest row stays: seqs are never reused
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (through <= m_trimmed) {
            return true;
        }
        m_trimmed = through;
    }
    Query rows(new Where("seq", LessOrEqual, std::to_string(through)));
    return m_storage->remove(kName, kChanges, rows).isOk();
}
