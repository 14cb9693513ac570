#include "load_client.h"

#include <rapidjson/document.h>

#include <thread>

namespace load {

LoadClient::LoadClient(int index, bool viaCore, const std::string& tag, PlatformView& platform,
                       RunState& state, uint32_t seed, bool allKinds)
    : m_index(index),
      m_viaCore(viaCore),
      m_tag(tag),
      m_allKinds(allKinds),
      m_platform(platform),
      m_state(state),
      m_random(seed) {}

// The store grows to about kSteadyLive buckets per client, then every
// addition is balanced by a deletion, so that the service's memory can be
// compared over the run at a steady store size.
void LoadClient::run(std::chrono::steady_clock::time_point deadline) {
    while (std::chrono::steady_clock::now() < deadline) {
        const int roll = static_cast<int>(m_random() % 100);
        if (m_ledger.live.empty() || roll < 30) {
            if (m_ledger.live.size() >= kSteadyLive) {
                remove(pickLive());
            }
            add();
        } else if (roll < 55) {
            download(pickLive());
        } else if (m_allKinds) {
            runMore(roll);
        } else if (roll < 70) {
            update(pickLive());
        } else if (roll < 82) {
            match(pickLive());
        } else if (roll < 85) {
            list();
        } else {
            remove(pickLive());
        }
    }
}

// Sends one request and sorts its fate. During an outage, connection errors
// and error answers make the outcome unknown; outside one they are faults.
LoadClient::Outcome LoadClient::send(Kind kind, const std::string& method, const std::string& path,
                                     const std::string& contentType, const std::string& body,
                                     int expected, Reply& reply, const std::string& extraHeaders) {
    const uint64_t epoch = m_state.epoch();
    const bool viaCore = m_viaCore && kind != Kind::List;
    const uint16_t port = viaCore ? m_platform.corePort() : m_platform.bucketPort();
    reply = exchange(port, method, (viaCore ? "/tarvolt" : "") + path, contentType, body,
                     std::chrono::seconds(30), extraHeaders);
    m_state.countDone(kind);
    const bool excused = m_state.overlapsOutage(epoch);
    if (excused && !(reply.kind == Reply::Kind::Answered && reply.status == expected)) {
        // Do not spin while the platform is down.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string what = std::string(kindName(kind)) + " " + path;
    if (reply.kind == Reply::Kind::Refused) {
        m_state.countRefused(excused);
        if (!excused) {
            m_state.fault("connection refused", what);
        }
        m_platform.refreshBucketPortSometimes();
        return Outcome::NotSent;  // nothing reached a server
    }
    if (reply.kind == Reply::Kind::Dropped) {
        m_state.countDropped(excused);
        if (!excused) {
            m_state.fault("dropped connection", what);
        }
        m_platform.refreshBucketPortSometimes();
        return Outcome::Unknown;
    }
    if (reply.status == expected) {
        m_state.countAnswered(kind);
        return Outcome::Done;
    }
    if (reply.status >= 500) {
        m_state.countServerError(excused);
    }
    if (excused) {
        return Outcome::Unknown;
    }
    m_state.fault(reply.status >= 500 ? "5xx answer" : "unexpected answer",
                  what + " -> " + std::to_string(reply.status) + " " + reply.body);
    return reply.status >= 500 ? Outcome::Unknown : Outcome::Refused;
}

std::string LoadClient::randomContent() {
    // Mostly small files, some up to 64 KiB, a few up to 256 KiB.
    const int roll = static_cast<int>(m_random() % 100);
    size_t size = 1 + m_random() % 4096;
    if (roll >= 90) {
        size = 1 + m_random() % (256 * 1024);
    } else if (roll >= 70) {
        size = 1 + m_random() % (64 * 1024);
    }
    std::string content(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t word = m_random();
        for (size_t j = 0; j < 8 && i + j < size; j++) {
            content[i + j] = static_cast<char>(word >> (8 * j));
        }
    }
    return content;
}

void LoadClient::add() {
    const std::string content = randomContent();
    const std::string key =
        m_tag + "-c" + std::to_string(m_index) + "-" + std::to_string(m_sequence++);
    // Four additions in a row share a batch, which a bulk deletion selects.
    Attributes attributes{
        {"key", key},
        {"owner", "c" + std::to_string(m_index)},
        {"size", std::to_string(content.size())},
        {"batch", m_tag + "-c" + std::to_string(m_index) + "-b" + std::to_string(m_sequence / 4)}};
    std::string contentType;
    const std::string form = additionForm(content, attributes, contentType);
    Reply reply;
    const Outcome outcome = send(Kind::Add, "POST", "/bucket", contentType, form, 202, reply);
    if (outcome == Outcome::Unknown) {
        m_ledger.unknownAdditions.push_back({sha256(content), attributes});
        sent("add", 0, attributes, false);
    }
    if (outcome != Outcome::Done) {
        return;
    }
    rapidjson::Document answer;
    answer.Parse(reply.body.c_str());
    if (answer.HasParseError() || !answer.IsObject() || !answer.HasMember("bucket") ||
        !answer["bucket"].IsUint64()) {
        m_state.fault("unexpected answer", "add answered " + reply.body);
        return;
    }
    const uint64_t id = answer["bucket"].GetUint64();
    sent("add", id, attributes, true);
    if (m_state.claimId(id, key)) {
        m_ledger.live[id] = {sha256(content), attributes, ""};
    }
}

uint64_t LoadClient::pickLive() {
    auto it = m_ledger.live.begin();
    std::advance(it, static_cast<long>(m_random() % m_ledger.live.size()));
    return it->first;
}

void LoadClient::download(uint64_t id) {
    Reply reply;
    if (send(Kind::Download, "GET", "/bucket/" + std::to_string(id), "", "", 200, reply) !=
        Outcome::Done) {
        return;
    }
    KnownBucket& bucket = m_ledger.live[id];
    if (sha256(reply.body) != bucket.sha) {
        m_state.fault("wrong bytes", "bucket " + std::to_string(id) + " downloaded " +
                                         std::to_string(reply.body.size()) + " other bytes");
    }
    bucket.etag = reply.etag;
}

void LoadClient::update(uint64_t id) {
    KnownBucket& bucket = m_ledger.live[id];
    Attributes changed = bucket.attributes;
    changed["note"] = "n" + std::to_string(m_sequence++);
    Reply reply;
    const std::string body = attributesBody({{"note", changed["note"]}});
    const Outcome outcome = send(Kind::Update, "PUT", "/bucket/" + std::to_string(id),
                                 "application/json", body, 202, reply);
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

void LoadClient::match(uint64_t id) {
    const KnownBucket& bucket = m_ledger.live[id];
    Reply reply;
    const std::string body = attributesBody({{"key", bucket.attributes.at("key")}});
    if (send(Kind::Match, "PUT", "/bucket/match", "application/json", body, 200, reply) !=
        Outcome::Done) {
        return;
    }
    auto matches = parseBuckets(reply.body, "matches");
    if (!matches || matches->size() != 1 || matches->begin()->first != id ||
        matches->begin()->second != bucket.attributes) {
        m_state.fault("wrong match", "bucket " + std::to_string(id) + " " +
                                         describe(bucket.attributes) + " matched " +
                                         reply.body.substr(0, 200));
    }
}

void LoadClient::list() {
    Reply reply;
    if (send(Kind::List, "GET", "/bucket", "", "", 200, reply) != Outcome::Done) {
        return;
    }
    auto listed = parseBuckets(reply.body, "buckets");
    if (!listed) {
        m_state.fault("wrong listing", "not a listing: " + reply.body.substr(0, 200));
        return;
    }
    for (const auto& [id, bucket] : m_ledger.live) {
        auto it = listed->find(id);
        if (it == listed->end() || it->second != bucket.attributes) {
            m_state.fault("wrong listing",
                          "bucket " + std::to_string(id) + " " + describe(bucket.attributes) +
                              " listed as " +
                              (it == listed->end() ? "absent" : describe(it->second)));
        }
    }
    for (uint64_t id : m_ledger.deleted) {
        if (listed->count(id) != 0) {
            m_state.fault("wrong listing", "deleted bucket " + std::to_string(id) + " listed");
        }
    }
}

void LoadClient::remove(uint64_t id) {
    Reply reply;
    const Outcome outcome =
        send(Kind::Delete, "DELETE", "/bucket/" + std::to_string(id), "", "", 200, reply);
    if (outcome == Outcome::Done || outcome == Outcome::Unknown) {
        sent("delete", id, {}, outcome == Outcome::Done);
    }
    if (outcome == Outcome::Done) {
        m_ledger.deleted.insert(id);
        m_ledger.live.erase(id);
    } else if (outcome == Outcome::Unknown) {
        const KnownBucket& bucket = m_ledger.live[id];
        m_ledger.doubtful[id] = {bucket.sha, {bucket.attributes}, true, ""};
        m_ledger.live.erase(id);
    }
}

}  // namespace load
