#include "load_check.h"

#include "load_feed_check.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace load {

namespace {

std::string examples(const std::vector<std::string>& problems) {
    std::string text = std::to_string(problems.size()) + " found";
    for (size_t i = 0; i < problems.size() && i < 3; i++) {
        text += "; " + problems[i];
    }
    return text;
}

}  // namespace

ConsistencyCheck::ConsistencyCheck(PlatformView& platform, RunState& state, std::string storageRoot,
                                   bool checkFeed)
    : m_platform(platform),
      m_state(state),
      m_root(std::move(storageRoot)),
      m_checkFeed(checkFeed) {}

void ConsistencyCheck::run(const std::vector<const Ledger*>& ledgers, Verdicts& verdicts) {
    // The service undoes an addition whose commit it could not confirm, and
    // finishes a deletion whose answer was lost, in the background, retried
    // every 2 s once the storage service answers again: a bucket listed
    // before that may vanish right after. The check starts two rounds later.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    for (const Ledger* ledger : ledgers) {
        m_expected.insert(ledger->live.begin(), ledger->live.end());
        m_gone.insert(ledger->deleted.begin(), ledger->deleted.end());
    }
    resolveAdditions(ledgers, verdicts);
    resolveDoubtful(ledgers, verdicts);
    if (!verdicts.check(fetchListing(), "the listing answers after the run")) {
        return;
    }
    compareListing(verdicts);
    compareBytes(verdicts);
    checkFiles(verdicts);
    if (m_checkFeed) {
        FeedCheck(m_platform).run(ledgers, {m_listed, m_sizes, m_gone}, verdicts);
    }
}

bool ConsistencyCheck::fetchListing() {
    for (int attempt = 0; attempt < 30; attempt++) {
        Reply reply = exchange(m_platform.bucketPort(), "GET", "/bucket", "", "");
        auto listed = reply.answered(200) ? parseBuckets(reply.body, "buckets") : std::nullopt;
        if (listed) {
            m_listed = std::move(*listed);
            return true;
        }
        m_platform.refreshBucketPort();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return false;
}

// An addition whose answer was lost exists at most once, and then whole:
// exactly its attributes and its bytes.
void ConsistencyCheck::resolveAdditions(const std::vector<const Ledger*>& ledgers,
                                        Verdicts& verdicts) {
    std::vector<std::string> problems;
    size_t total = 0, created = 0;
    for (const Ledger* ledger : ledgers) {
        for (const UnknownAddition& addition : ledger->unknownAdditions) {
            total++;
            Reply reply =
                exchange(m_platform.bucketPort(), "PUT", "/bucket/match", "application/json",
                         attributesBody({{"key", addition.attributes.at("key")}}));
            auto found = reply.answered(200) ? parseBuckets(reply.body, "matches") : std::nullopt;
            const std::string key = addition.attributes.at("key");
            if (!found || found->size() > 1) {
                problems.push_back(key + ": match answered " + reply.body.substr(0, 120));
                continue;
            }
            if (found->empty()) {
                continue;
            }
            const auto& [id, attributes] = *found->begin();
            std::string problem;
            if (attributes != addition.attributes) {
                problems.push_back(key + " exists as " + std::to_string(id) + " with " +
                                   describe(attributes));
            } else if (!m_state.keyOfId(id).empty()) {
                problems.push_back(key + " got id " + std::to_string(id) + ", handed out for " +
                                   m_state.keyOfId(id));
            } else if (!downloadMatches(id, addition.sha, problem)) {
                problems.push_back(key + ": " + problem);
            } else {
                created++;
                m_expected[id] = {addition.sha, addition.attributes, ""};
            }
        }
    }
    verdicts.check(problems.empty(), "additions with a lost answer exist whole or not at all",
                   std::to_string(total) + " unknown, " + std::to_string(created) + " were made" +
                       (problems.empty() ? "" : "; " + examples(problems)));
}

// A change whose answer was lost left one of the attribute sets it could
// have; a lost deletion either happened or left the bucket as it was.
void ConsistencyCheck::resolveDoubtful(const std::vector<const Ledger*>& ledgers,
                                       Verdicts& verdicts) {
    std::vector<std::string> problems;
    size_t total = 0;
    for (const Ledger* ledger : ledgers) {
        for (const auto& [id, doubtful] : ledger->doubtful) {
            total++;
            const std::string key = doubtful.possible.front().at("key");
            Reply reply = exchange(m_platform.bucketPort(), "PUT", "/bucket/match",
                                   "application/json", attributesBody({{"key", key}}));
            auto found = reply.answered(200) ? parseBuckets(reply.body, "matches") : std::nullopt;
            if (!found || found->size() > 1 ||
                (found->size() == 1 && found->begin()->first != id)) {
                problems.push_back(key + ": match answered " + reply.body.substr(0, 120));
            } else if (found->empty()) {
                if (doubtful.mayBeDeleted) {
                    m_gone.insert(id);
                } else {
                    problems.push_back("bucket " + std::to_string(id) + " vanished on a change");
                }
            } else {
                const Attributes& now = found->begin()->second;
                bool possible = false;
                for (const Attributes& candidate : doubtful.possible) {
                    possible = possible || candidate == now;
                }
                if (possible) {
                    m_expected[id] = {bytesOfDoubtful(id, doubtful), now, ""};
                } else {
                    problems.push_back("bucket " + std::to_string(id) + " holds " + describe(now));
                }
            }
        }
    }
    verdicts.check(
        problems.empty(), "changes and deletions with a lost answer left a state they could",
        std::to_string(total) + " unknown" + (problems.empty() ? "" : "; " + examples(problems)));
}

// The file a bucket in doubt must hold: its known one, or the new one of
// a lost replacement when it downloads as that (compareBytes then checks
// the choice).
std::string ConsistencyCheck::bytesOfDoubtful(uint64_t id, const DoubtfulBucket& doubtful) {
    if (doubtful.otherSha.empty()) {
        return doubtful.sha;
    }
    std::string problem;
    return downloadMatches(id, doubtful.otherSha, problem) ? doubtful.otherSha : doubtful.sha;
}

void ConsistencyCheck::compareListing(Verdicts& verdicts) {
    std::vector<std::string> missing, stray, remaining;
    for (const auto& [id, bucket] : m_expected) {
        auto it = m_listed.find(id);
        if (it == m_listed.end()) {
            missing.push_back(std::to_string(id) + " absent");
        } else if (it->second != bucket.attributes) {
            missing.push_back(std::to_string(id) + " " + describe(bucket.attributes) +
                              " listed as " + describe(it->second));
        }
    }
    std::map<Attributes, uint64_t> sets;
    std::vector<std::string> duplicates;
    for (const auto& [id, attributes] : m_listed) {
        if (m_gone.count(id) != 0) {
            remaining.push_back(std::to_string(id));
        } else if (m_expected.count(id) == 0) {
            stray.push_back(std::to_string(id) + " " + describe(attributes));
        }
        auto [it, inserted] = sets.emplace(attributes, id);
        if (!inserted) {
            duplicates.push_back(std::to_string(it->second) + " and " + std::to_string(id));
        }
    }
    verdicts.check(missing.empty(),
                   "every bucket the clients were told of is listed with exactly its attributes",
                   std::to_string(m_expected.size()) + " buckets" +
                       (missing.empty() ? "" : "; " + examples(missing)));
    verdicts.check(remaining.empty(), "no deleted bucket remains",
                   std::to_string(m_gone.size()) + " deleted" +
                       (remaining.empty() ? "" : "; " + examples(remaining)));
    verdicts.check(stray.empty(), "no listed bucket is unaccounted for",
                   std::to_string(m_listed.size()) + " listed" +
                       (stray.empty() ? "" : "; " + examples(stray)));
    verdicts.check(duplicates.empty(), "no two buckets share an attribute set",
                   duplicates.empty() ? "" : examples(duplicates));
}

bool ConsistencyCheck::downloadMatches(uint64_t id, const std::string& sha, std::string& problem) {
    Reply reply = exchange(m_platform.bucketPort(), "GET", "/bucket/" + std::to_string(id), "", "");
    if (!reply.answered(200)) {
        problem = "download of " + std::to_string(id) + " answered " +
                  std::to_string(reply.status) + " " + reply.body.substr(0, 120);
        return false;
    }
    m_sizes[id] = reply.body.size();
    if (sha256(reply.body) != sha) {
        problem = std::to_string(id) + " downloads other bytes (" +
                  std::to_string(reply.body.size()) + ")";
        return false;
    }
    return true;
}

void ConsistencyCheck::compareBytes(Verdicts& verdicts) {
    std::vector<std::string> problems;
    for (const auto& [id, bucket] : m_expected) {
        std::string problem;
        if (!downloadMatches(id, bucket.sha, problem)) {
            problems.push_back(problem);
        }
    }
    for (uint64_t id : m_gone) {
        Reply reply =
            exchange(m_platform.bucketPort(), "GET", "/bucket/" + std::to_string(id), "", "");
        if (!reply.answered(404)) {
            problems.push_back("deleted " + std::to_string(id) + " answered " +
                               std::to_string(reply.status));
        }
    }
    verdicts.check(problems.empty(), "every bucket downloads exactly its bytes, deleted ones 404",
                   problems.empty() ? "" : examples(problems));
}

void ConsistencyCheck::scanRoot(std::set<uint64_t>& files,
                                std::vector<std::string>& uploads) const {
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::recursive_directory_iterator it(m_root, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_regular_file(error)) {
            continue;
        }
        const std::string name = it->path().filename().string();
        if (name.rfind(".upload-", 0) == 0) {
            uploads.push_back(it->path().string());
        } else if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
            files.insert(std::stoull(name));
        }
    }
}

// A restarted service sweeps the root in the background, so the walk is
// repeated for a while before a leftover counts.
void ConsistencyCheck::checkFiles(Verdicts& verdicts) {
    std::vector<std::string> orphans, uploads;
    size_t fileCount = 0;
    for (int attempt = 0; attempt < 20; attempt++) {
        std::set<uint64_t> files;
        orphans.clear();
        uploads.clear();
        scanRoot(files, uploads);
        fileCount = files.size();
        for (uint64_t id : files) {
            if (m_listed.count(id) == 0) {
                orphans.push_back(std::to_string(id));
            }
        }
        if (orphans.empty() && uploads.empty()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    verdicts.check(
        orphans.empty(), "every file under the storage root has its rows",
        std::to_string(fileCount) + " files" + (orphans.empty() ? "" : "; " + examples(orphans)));
    verdicts.check(uploads.empty(), "no temporary upload file remains",
                   uploads.empty() ? "" : examples(uploads));
}

}  // namespace load
