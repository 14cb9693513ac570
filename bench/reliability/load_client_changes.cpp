// LoadClient: the changes beyond the basic ones, a merge patch of the
// attributes, a content replacement and a bulk deletion of a batch.
#include <rapidjson/document.h>

#include "load_client.h"

namespace load {

namespace {

const char* const kMergePatch = "application/merge-patch+json";

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

// `roll` is 55 to 99; the shares of the basic mix stay close to it.
void LoadClient::runMore(int roll) {
    if (roll < 63) {
        update(pickLive());
    } else if (roll < 71) {
        patch(pickLive());
    } else if (roll < 78) {
        replace(pickLive());
    } else if (roll < 88) {
        match(pickLive());
    } else if (roll < 90) {
        list();
    } else if (roll < 94) {
        bulkDelete(pickLive());
    } else {
        remove(pickLive());
    }
}

// Sets "tag" to a new value and removes "note" (absent or not).
void LoadClient::patch(uint64_t id) {
    KnownBucket& bucket = m_ledger.live[id];
    Attributes changed = bucket.attributes;
    changed["tag"] = "p" + std::to_string(m_sequence++);
    changed.erase("note");
    const std::string body =
        "{ \"attributes\" : { \"tag\" : " + quoted(changed["tag"]) + ", \"note\" : null } }";
    Reply reply;
    const Outcome outcome =
        send(Kind::Patch, "PATCH", "/bucket/" + std::to_string(id), kMergePatch, body, 202, reply);
    if (outcome == Outcome::Done || outcome == Outcome::Unknown) {
        sent("update", id, changed, outcome == Outcome::Done);
    }
    if (outcome == Outcome::Done) {
        bucket.attributes = changed;
    } else if (outcome == Outcome::Unknown) {
        m_ledger.doubtful[id] = {bucket.sha, {bucket.attributes, changed}, false, ""};
        m_ledger.live.erase(id);
    }
}

// New bytes on the condition that the bucket still holds the ones whose
// ETag the client saw last ("*" before it saw any).
void LoadClient::replace(uint64_t id) {
    KnownBucket& bucket = m_ledger.live[id];
    const std::string content = randomContent();
    const std::string condition =
        "If-Match: " + (bucket.etag.empty() ? std::string("*") : bucket.etag) + "\r\n";
    Reply reply;
    const Outcome outcome = send(Kind::Replace, "PUT", "/bucket/" + std::to_string(id) + "/content",
                                 "application/octet-stream", content, 202, reply, condition);
    if (outcome == Outcome::Done || outcome == Outcome::Unknown) {
        sent("content", id, bucket.attributes, outcome == Outcome::Done);
    }
    if (outcome == Outcome::Unknown) {
        m_ledger.doubtful[id] = {bucket.sha, {bucket.attributes}, false, sha256(content)};
        m_ledger.live.erase(id);
        return;
    }
    if (outcome != Outcome::Done) {
        return;
    }
    rapidjson::Document answer;
    answer.Parse(reply.body.c_str());
    bucket.sha = sha256(content);
    bucket.etag = "";
    if (answer.IsObject() && answer.HasMember("etag") && answer["etag"].IsString()) {
        bucket.etag = answer["etag"].GetString();
    } else {
        m_state.fault("unexpected answer", "replace answered " + reply.body.substr(0, 200));
    }
}

// Deletes the batch of `id` (at most four buckets) by a condition on its
// "batch" attribute; "all" keeps a store holding only this batch from
// being refused as a deletion of everything.
void LoadClient::bulkDelete(uint64_t id) {
    const std::string batch = m_ledger.live[id].attributes.at("batch");
    const std::string body =
        "{ \"where\" : { \"name\" : \"batch\", \"op\" : \"eq\", \"value\" : " + quoted(batch) +
        " }, \"limit\" : 8, \"all\" : true }";
    Reply reply;
    const Outcome outcome =
        send(Kind::BulkDelete, "POST", "/bucket/delete", "application/json", body, 200, reply);
    if (outcome == Outcome::Done || outcome == Outcome::Unknown) {
        settleBatch(batch, outcome, reply);
    }
}

// Answered: every bucket of the batch is gone, and the count lies between
// the ones the client knows live and those plus the ones in doubt. Lost:
// each may be gone or as it was.
void LoadClient::settleBatch(const std::string& batch, Outcome outcome, const Reply& reply) {
    const bool answered = outcome == Outcome::Done;
    size_t known = 0, doubtful = 0;
    for (auto it = m_ledger.live.begin(); it != m_ledger.live.end();) {
        if (it->second.attributes.at("batch") != batch) {
            ++it;
            continue;
        }
        known++;
        sent("delete", it->first, {}, answered);
        if (answered) {
            m_ledger.deleted.insert(it->first);
        } else {
            m_ledger.doubtful[it->first] = {it->second.sha, {it->second.attributes}, true, ""};
        }
        it = m_ledger.live.erase(it);
    }
    for (auto it = m_ledger.doubtful.begin(); it != m_ledger.doubtful.end();) {
        if (it->second.possible.front().at("batch") != batch) {
            ++it;
            continue;
        }
        doubtful++;
        // A bucket whose deletion was lost before may be gone already.
        sent("delete", it->first, {}, answered && !it->second.mayBeDeleted);
        it->second.mayBeDeleted = true;
        if (answered) {
            m_ledger.deleted.insert(it->first);
            it = m_ledger.doubtful.erase(it);
        } else {
            ++it;
        }
    }
    for (const UnknownAddition& addition : m_ledger.unknownAdditions) {
        doubtful += addition.attributes.at("batch") == batch ? 1 : 0;
    }
    sent("delete", 0, {{"batch", batch}}, false);  // an addition in doubt of the batch
    if (!answered) {
        return;
    }
    rapidjson::Document answer;
    answer.Parse(reply.body.c_str());
    const bool counted = answer.IsObject() && answer.HasMember("count") &&
                         answer["count"].IsUint64() && answer.HasMember("next") &&
                         answer["next"].IsNull();
    const uint64_t count = counted ? answer["count"].GetUint64() : 0;
    if (!counted || count < known || count > known + doubtful) {
        m_state.fault("unexpected answer", "bulk deletion of " + batch + " (" +
                                               std::to_string(known) + " known) answered " +
                                               reply.body.substr(0, 200));
    }
}

}  // namespace load
