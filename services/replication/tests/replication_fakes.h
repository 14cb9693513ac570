// A change source driven by the test and an in-memory object store, both
// able to fail on demand, for replicator tests without the network.
//
// Thread-safety: a ScriptedSource is used by one thread; MemoryStores over
// the same objects may be used by threads of their own (replicator lanes).
#pragma once

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>

#include "replication/change_source.h"
#include "replication/object_store.h"

namespace replication_test {

class ScriptedSource : public replication::ChangeSource {
  public:
    replication::ChangePage changesAfter(uint64_t after, uint32_t limit, uint32_t) override {
        replication::ChangePage page;
        if (down) {
            page.error = "source away";
            return page;
        }
        if (after + 1 < oldest) {  // as the feed: `oldest` is the first seq still shown
            page.outcome = replication::ChangePage::Outcome::Gone;
            page.oldest = oldest;
            return page;
        }
        page.outcome = replication::ChangePage::Outcome::Ok;
        page.next = after;
        for (const auto& change : changes) {
            if (change.seq > after && page.changes.size() < limit) {
                page.changes.push_back(change);
                page.next = change.seq;
            }
        }
        return page;
    }
    replication::ContentOutcome fetchContent(uint64_t bucket, const std::string& path,
                                             std::string* etag, std::string* error) override {
        auto found = contents.find(bucket);
        if (found == contents.end()) {
            return replication::ContentOutcome::Missing;
        }
        std::ofstream(path, std::ios::binary) << found->second;
        *etag = etagOf(found->second);
        *error = "";
        ++fetches;
        return replication::ContentOutcome::Ok;
    }
    // The buckets of `listed`, which tests fill for a source that holds
    // buckets the feed does not show.
    replication::BucketPage listBuckets(uint64_t after, uint32_t limit) override {
        replication::BucketPage page;
        page.ok = !down;
        page.error = down ? "source away" : "";
        for (auto at = listed.upper_bound(after); page.ok && at != listed.end(); ++at) {
            if (page.buckets.size() == limit) {
                page.more = true;
                break;
            }
            page.buckets.push_back({at->first, at->second, ""});
        }
        return page;
    }
    replication::ContentOutcome describe(uint64_t bucket, replication::BucketState* state,
                                         std::string* error) override {
        auto found = listed.find(bucket);
        if (down || found == listed.end() || contents.count(bucket) == 0) {
            *error = down ? "source away" : "";
            return down ? replication::ContentOutcome::Failed
                        : replication::ContentOutcome::Missing;
        }
        *state = {bucket, found->second, etagOf(contents[bucket])};
        return replication::ContentOutcome::Ok;
    }
    static std::string etagOf(const std::string& bytes) {
        return "\"" + std::to_string(std::hash<std::string>{}(bytes)) + "\"";
    }
    void add(uint64_t seq, const std::string& op, uint64_t bucket,
             replication::Attributes attributes = {}) {
        replication::Change change;
        change.seq = seq;
        change.op = op;
        change.bucket = bucket;
        change.attributes = std::move(attributes);
        changes.push_back(change);
    }

    std::vector<replication::Change> changes;
    std::map<uint64_t, std::string> contents;
    std::map<uint64_t, replication::Attributes> listed;
    int fetches = 0;
    uint64_t oldest = 0;
    bool down = false;
};

// Holds each caller until `expected` callers have arrived or a second has
// passed; `waited` tells whether any gave up, that is whether the callers
// did not all run at once.
struct Rendezvous {
    explicit Rendezvous(int expected) : expected(expected) {}
    void arrive() {
        std::unique_lock<std::mutex> lock(mutex);
        ++arrived;
        met.notify_all();
        if (!met.wait_for(lock, std::chrono::seconds(1), [this] { return arrived >= expected; })) {
            waited = true;
        }
    }
    std::mutex mutex;
    std::condition_variable met;
    int expected;
    int arrived = 0;
    bool waited = false;
};

struct StoredObject {
    std::string bytes;
    replication::Metadata metadata;
};

class MemoryStore : public replication::ObjectStore {
  public:
    explicit MemoryStore(std::map<std::string, StoredObject>* objects) : m_objects(objects) {}
    replication::StoreResult putFile(const std::string& key, const std::string& path,
                                     const replication::Metadata& metadata) override {
        if (down()) {
            return replication::StoreResult::failure(0, "store away");
        }
        if (rendezvous != nullptr) {
            rendezvous->arrive();
        }
        std::ifstream file(path, std::ios::binary);
        std::stringstream bytes;
        bytes << file.rdbuf();
        std::lock_guard<std::mutex> lock(objectsMutex());
        (*m_objects)[key] = {bytes.str(), metadata};
        m_sent += bytes.str().size();
        ++puts;
        return replication::StoreResult::success(200);
    }
    replication::StoreResult replaceMetadata(const std::string& key,
                                             const replication::Metadata& metadata) override {
        if (down()) {
            return replication::StoreResult::failure(503, "store away");
        }
        std::lock_guard<std::mutex> lock(objectsMutex());
        auto found = m_objects->find(key);
        if (found == m_objects->end()) {
            return replication::StoreResult::failure(404, "no such key");
        }
        found->second.metadata = metadata;
        return replication::StoreResult::success(200);
    }
    replication::StoreResult remove(const std::string& key) override {
        if (down()) {
            return replication::StoreResult::failure(0, "store away");
        }
        std::lock_guard<std::mutex> lock(objectsMutex());
        m_objects->erase(key);
        return replication::StoreResult::success(204);
    }
    replication::StoreResult head(const std::string& key, replication::ObjectInfo* info) override {
        if (down()) {
            return replication::StoreResult::failure(0, "store away");
        }
        std::lock_guard<std::mutex> lock(objectsMutex());
        auto found = m_objects->find(key);
        if (found == m_objects->end()) {
            return replication::StoreResult::failure(404, "no such key");
        }
        info->size = found->second.bytes.size();
        info->metadata = found->second.metadata;
        return replication::StoreResult::success(200);
    }
    replication::StoreResult list(const std::string& prefix, const std::string& token,
                                  replication::KeyPage* page) override {
        if (down()) {
            return replication::StoreResult::failure(0, "store away");
        }
        std::lock_guard<std::mutex> lock(objectsMutex());
        *page = replication::KeyPage();
        for (auto at = m_objects->upper_bound(token); at != m_objects->end(); ++at) {
            if (at->first.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            if (page->keys.size() == 2) {  // small pages, so that paging is exercised
                page->next = page->keys.back();
                break;
            }
            page->keys.push_back(at->first);
        }
        return replication::StoreResult::success(200);
    }
    uint64_t bytesSent() const override { return m_sent; }

    int failuresLeft = 0;  // the next so many calls fail
    int puts = 0;
    Rendezvous* rendezvous = nullptr;  // when set, every put waits there

  private:
    static std::mutex& objectsMutex() {
        static std::mutex mutex;
        return mutex;
    }
    bool down() {
        if (failuresLeft > 0) {
            --failuresLeft;
            return true;
        }
        return false;
    }
    std::map<std::string, StoredObject>* m_objects;
    uint64_t m_sent = 0;
};

}  // namespace replication_test
