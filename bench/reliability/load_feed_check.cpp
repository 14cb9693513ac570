#include "load_feed_check.h"

#include <rapidjson/document.h>

#include <chrono>
#include <thread>

namespace load {

namespace {

constexpr size_t kPageLimit = 10000;

std::string keyOf(const std::string& op, uint64_t id, const Attributes& attributes) {
    return op + " " + std::to_string(id) + " " + describe(attributes);
}

std::string keyOf(const FeedRecord& record) {
    return keyOf(record.op, record.bucket, record.attributes.value_or(Attributes{}));
}

std::string examples(const std::vector<std::string>& problems) {
    std::string text = std::to_string(problems.size()) + " found";
    for (size_t i = 0; i < problems.size() && i < 3; i++) {
        text += "; " + problems[i];
    }
    return text;
}

std::optional<FeedRecord> recordOf(const rapidjson::Value& change) {
    if (!change.IsObject() || !change.HasMember("seq") || !change["seq"].IsUint64() ||
        !change.HasMember("op") || !change["op"].IsString() || !change.HasMember("bucket") ||
        !change["bucket"].IsUint64() || !change.HasMember("attributes")) {
        return std::nullopt;
    }
    FeedRecord record{change["seq"].GetUint64(), change["op"].GetString(),
                      change["bucket"].GetUint64(), std::nullopt, std::nullopt};
    if (change["attributes"].IsObject()) {
        Attributes& attributes = record.attributes.emplace();
        for (const auto& member : change["attributes"].GetObject()) {
            if (!member.value.IsString()) {
                return std::nullopt;
            }
            attributes[member.name.GetString()] = member.value.GetString();
        }
    }
    if (change.HasMember("size") && change["size"].IsUint64()) {
        record.size = change["size"].GetUint64();
    }
    return record;
}

// Appends the page after `after` to `records`; false when it fails.
bool readPage(uint16_t port, uint64_t after, std::vector<FeedRecord>& records, bool& empty,
              std::string& problem) {
    Reply reply = exchange(
        port, "GET",
        "/bucket/changes?limit=" + std::to_string(kPageLimit) + "&after=" + std::to_string(after),
        "", "");
    rapidjson::Document page;
    page.Parse(reply.body.c_str());
    if (!reply.answered(200) || !page.IsObject() || !page.HasMember("changes") ||
        !page["changes"].IsArray()) {
        problem =
            "the feed answered " + std::to_string(reply.status) + " " + reply.body.substr(0, 120);
        return false;
    }
    empty = page["changes"].Empty();
    for (const auto& change : page["changes"].GetArray()) {
        std::optional<FeedRecord> record = recordOf(change);
        if (!record) {
            problem = "a change the check cannot read";
            return false;
        }
        records.push_back(std::move(*record));
    }
    return true;
}

}  // namespace

// A page shorter than the limit ends the read: the feed answers full pages
// until it reaches the visible seq, and under load a reader that waited for
// an empty page would chase the newest changes until the load stopped.
std::optional<std::vector<FeedRecord>> readFeed(uint16_t port, std::string& problem) {
    std::vector<FeedRecord> records;
    for (bool more = true; more;) {
        const uint64_t after = records.empty() ? 0 : records.back().seq;
        const size_t before = records.size();
        bool empty = false;
        if (!readPage(port, after, records, empty, problem)) {
            return std::nullopt;
        }
        if (!empty && records.back().seq <= after) {
            // Out of order; reading on from here would not end.
            return records;
        }
        more = records.size() - before == kPageLimit;
    }
    return records;
}

std::vector<std::string> compareAcrossCut(const std::vector<FeedRecord>& before,
                                          const std::vector<FeedRecord>& after) {
    std::vector<std::string> problems;
    std::map<uint64_t, std::string> kept;
    for (size_t i = 0; i < after.size(); i++) {
        kept[after[i].seq] = keyOf(after[i]);
        if (i > 0 && after[i].seq <= after[i - 1].seq) {
            problems.push_back("seq " + std::to_string(after[i].seq) + " after " +
                               std::to_string(after[i - 1].seq));
        }
    }
    const uint64_t passed = before.empty() ? 0 : before.back().seq;
    std::set<uint64_t> read;
    for (const FeedRecord& record : before) {
        read.insert(record.seq);
        auto it = kept.find(record.seq);
        if (it == kept.end() || it->second != keyOf(record)) {
            problems.push_back("seq " + std::to_string(record.seq) + " " + keyOf(record) +
                               (it == kept.end() ? " lost" : " became " + it->second));
        }
    }
    for (const auto& [seq, key] : kept) {
        if (seq <= passed && read.count(seq) == 0) {
            problems.push_back("seq " + std::to_string(seq) + " " + key + " appeared behind " +
                               std::to_string(passed));
        }
    }
    return problems;
}

void FeedCheck::run(const std::vector<const Ledger*>& ledgers, const StoreState& store,
                    Verdicts& verdicts) {
    std::string problem;
    std::optional<std::vector<FeedRecord>> records;
    for (int attempt = 0; attempt < 10 && !records; attempt++) {
        records = readFeed(m_platform.bucketPort(), problem);
        if (!records) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    if (!verdicts.check(records.has_value(), "the change feed answers after the run", problem)) {
        return;
    }
    m_records = std::move(*records);
    std::vector<std::string> disorder;
    for (size_t i = 1; i < m_records.size(); i++) {
        if (m_records[i].seq <= m_records[i - 1].seq) {
            disorder.push_back(std::to_string(m_records[i - 1].seq) + " then " +
                               std::to_string(m_records[i].seq));
        }
    }
    verdicts.check(disorder.empty(), "the feed's seqs strictly increase",
                   std::to_string(m_records.size()) + " records" +
                       (disorder.empty() ? "" : "; " + examples(disorder)));
    index(ledgers);
    checkAnswered(verdicts);
    checkPhantoms(verdicts);
    checkNewest(store, verdicts);
}

void FeedCheck::index(const std::vector<const Ledger*>& ledgers) {
    for (const Ledger* ledger : ledgers) {
        for (const SentChange& change : ledger->changes) {
            const std::string key = keyOf(change.op, change.id, change.after);
            m_sent.insert(key);
            if (change.answered) {
                m_answered.insert(key);
            }
            if (change.id == 0 && change.op == "add") {
                m_lostAdditions.push_back(&change);
            } else if (change.id == 0 && change.op == "delete") {
                m_batchesInDoubt.insert(change.after.at("batch"));
            } else {
                m_ids.insert(change.id);
            }
            if (change.id != 0 && change.op == "add") {
                m_batchOf[change.id] = change.after.at("batch");
            }
        }
    }
    // A lost addition that was made shows in the feed with its attributes.
    for (const FeedRecord& record : m_records) {
        m_recorded.insert(keyOf(record));
        if (record.op != "add" || m_ids.count(record.bucket) != 0) {
            continue;
        }
        for (const SentChange* lost : m_lostAdditions) {
            if (record.attributes == lost->after) {
                m_ids.insert(record.bucket);
                m_madeLost.insert(record.bucket);
                m_batchOf[record.bucket] = lost->after.at("batch");
            }
        }
    }
}

bool FeedCheck::sentMatches(const FeedRecord& record) const {
    if (m_sent.count(keyOf(record)) != 0) {
        return true;
    }
    if (record.op == "add") {
        for (const SentChange* lost : m_lostAdditions) {
            if (record.attributes == lost->after) {
                return true;
            }
        }
    }
    // An addition whose answer was lost but which committed may be undone
    // by the service (its client was told it failed): its deletion is no
    // change nobody sent.
    if (record.op == "delete" && m_madeLost.count(record.bucket) != 0) {
        return true;
    }
    auto batch = m_batchOf.find(record.bucket);
    return record.op == "delete" && batch != m_batchOf.end() &&
           m_batchesInDoubt.count(batch->second) != 0;
}

void FeedCheck::checkAnswered(Verdicts& verdicts) const {
    std::vector<std::string> missing;
    for (const std::string& key : m_answered) {
        if (m_recorded.count(key) == 0) {
            missing.push_back(key);
        }
    }
    verdicts.check(missing.empty(), "every answered change has its record in the feed",
                   std::to_string(m_answered.size()) + " answered" +
                       (missing.empty() ? "" : "; " + examples(missing)));
}

void FeedCheck::checkPhantoms(Verdicts& verdicts) const {
    std::vector<std::string> phantoms;
    size_t foreign = 0;
    for (const FeedRecord& record : m_records) {
        if (m_ids.count(record.bucket) == 0) {
            foreign++;
        } else if (!sentMatches(record)) {
            phantoms.push_back(std::to_string(record.seq) + " " + keyOf(record));
        }
    }
    verdicts.check(phantoms.empty(), "every feed record belongs to a change a client sent",
                   std::to_string(m_records.size() - foreign) + " of the run, " +
                       std::to_string(foreign) + " older" +
                       (phantoms.empty() ? "" : "; " + examples(phantoms)));
}

void FeedCheck::checkNewest(const StoreState& store, Verdicts& verdicts) const {
    std::map<uint64_t, const FeedRecord*> newest;
    for (const FeedRecord& record : m_records) {
        newest[record.bucket] = &record;
    }
    std::vector<std::string> wrong;
    for (uint64_t id : m_ids) {
        auto record = newest.find(id);
        auto listed = store.listed.find(id);
        if (listed == store.listed.end()) {
            if (record != newest.end() && record->second->op != "delete") {
                wrong.push_back(std::to_string(id) + " is gone, the feed ends with " +
                                record->second->op);
            }
            continue;
        }
        auto size = store.sizes.find(id);
        if (record == newest.end() || record->second->op == "delete") {
            wrong.push_back(std::to_string(id) + " is stored, the feed ends with " +
                            (record == newest.end() ? "nothing" : "delete"));
        } else if (record->second->attributes != listed->second) {
            wrong.push_back(std::to_string(id) + " holds " + describe(listed->second) +
                            ", the feed says " + describe(*record->second->attributes));
        } else if (size != store.sizes.end() && record->second->size != size->second) {
            wrong.push_back(std::to_string(id) + " downloads " + std::to_string(size->second) +
                            " bytes, the feed says " +
                            std::to_string(record->second->size.value_or(0)));
        }
    }
    verdicts.check(
        wrong.empty(), "the feed's newest record of each bucket tells its state",
        std::to_string(m_ids.size()) + " buckets" + (wrong.empty() ? "" : "; " + examples(wrong)));
}

}  // namespace load
