#include "bench_platform.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "bucket.h"
#include "bucket_index.h"
#include "http/client.h"
#include "logger.h"
#include "storage_client.h"

namespace bench {

namespace {

const char* const kTablePath = "/storage/schema/Bucket/table/";

const rapidjson::Value& serviceOf(const rapidjson::Value& services, const std::string& type) {
    for (const auto& service : services.GetArray()) {
        if (service.IsObject() && service.HasMember("type") && service["type"].IsString() &&
            type == service["type"].GetString() && service.HasMember("service_port") &&
            service["service_port"].IsUint() && service.HasMember("name") &&
            service["name"].IsString()) {
            return service;
        }
    }
    throw std::runtime_error("no service of type " + type + " is registered with the core");
}

uint16_t portOf(const rapidjson::Value& service) {
    return static_cast<uint16_t>(service["service_port"].GetUint());
}

// "Bucket Storage" -> "Bucket%20Storage" (names hold letters and blanks).
std::string pathSegment(const std::string& name) {
    std::string segment;
    for (char c : name) {
        segment += c == ' ' ? std::string("%20") : std::string(1, c);
    }
    return segment;
}

void coreRequest(http::Client& client, const std::string& method, const std::string& target,
                 const std::string& body) {
    auto answer = client.request(method, target, body, {{"Content-Type", "application/json"}});
    if (answer.status != 200) {
        throw std::runtime_error(method + " " + target + " answered " +
                                 std::to_string(answer.status) + ": " + answer.body);
    }
}

// True once a service listens on `port` and serves requests (a service
// still starting answers 503).
bool answers(uint16_t port) {
    try {
        http::Client client("127.0.0.1", port, std::chrono::seconds(5));
        const int status = client.request("GET", "/bucket/0").status;
        return status > 0 && status != 503;
    } catch (const std::exception&) {
        return false;
    }
}

// Buckets written per storage transaction: their rows (six each with four
// attributes) stay well within the 1,000 statements of one transaction.
constexpr uint64_t kBucketsPerTransaction = 100;

// The record of filled bucket `i`, with its attributes and its path.
std::unique_ptr<Bucket> filledBucket(uint64_t i, const std::string& storeRoot) {
    const uint64_t id = StoreFiller::kIdBase + i;
    auto bucket = std::make_unique<Bucket>(nullptr, id);
    bucket->setStoredFilename(StoreFiller::pathOf(storeRoot, i));
    bucket->addAttribute("group", StoreFiller::groupOf(i));
    bucket->addAttribute("kind", "k" + std::to_string(i % 7));
    bucket->addAttribute("serial", "s" + std::to_string(i));
    bucket->addAttribute("n", std::to_string(i));
    return bucket;
}

}  // namespace

uint64_t bucketObjects(const std::string& answer) {
    uint64_t count = 0;
    for (size_t at = answer.find("{ \"bucket\" : "); at != std::string::npos;
         at = answer.find("{ \"bucket\" : ", at + 1)) {
        ++count;
    }
    return count;
}

ServicePorts discoverServices(uint16_t coreApiPort) {
    http::Client client("127.0.0.1", coreApiPort, std::chrono::seconds(10));
    auto answer = client.request("GET", "/tarvolt/service");
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    if (answer.status != 200 || document.HasParseError() || !document.IsObject() ||
        !document.HasMember("services") || !document["services"].IsArray()) {
        throw std::runtime_error("the core's service list is unreadable: " + answer.body);
    }
    ServicePorts ports;
    const rapidjson::Value& bucket = serviceOf(document["services"], "BucketStorage");
    ports.bucket = portOf(bucket);
    ports.bucketName = bucket["name"].GetString();
    ports.storage = portOf(serviceOf(document["services"], "Storage"));
    return ports;
}

void setBucketItem(uint16_t coreApiPort, const std::string& categorySuffix, const std::string& item,
                   const std::string& value) {
    const std::string category =
        pathSegment(discoverServices(coreApiPort).bucketName + categorySuffix);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("value");
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    writer.EndObject();
    http::Client client("127.0.0.1", coreApiPort, std::chrono::seconds(30));
    coreRequest(client, "PUT", "/tarvolt/category/" + category + "/" + item, buffer.GetString());
}

ServicePorts restartBucketWithThreads(uint16_t coreApiPort, pid_t corePid, int threads) {
    const ServicePorts before = discoverServices(coreApiPort);
    const std::vector<pid_t> oldPids = childrenOf(corePid, "tarvolt-bucket");
    setBucketItem(coreApiPort, " Advanced", "threads", std::to_string(threads));
    http::Client client("127.0.0.1", coreApiPort, std::chrono::seconds(30));
    coreRequest(client, "PUT", "/tarvolt/service/" + pathSegment(before.bucketName) + "/restart",
                "");
    for (int attempt = 0; attempt < 600; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::vector<pid_t> pids = childrenOf(corePid, "tarvolt-bucket");
        if (pids.size() != 1 || pids == oldPids) {
            continue;
        }
        try {
            ServicePorts after = discoverServices(coreApiPort);
            if (after.bucket != before.bucket && answers(after.bucket)) {
                return after;
            }
        } catch (const std::exception&) {
            // Not registered again yet.
        }
    }
    throw std::runtime_error("the bucket service did not come back within a minute of its restart");
}

StoreFiller::StoreFiller(uint16_t storagePort, std::string storeRoot, int threads)
    : m_storagePort(storagePort), m_storeRoot(std::move(storeRoot)), m_threads(threads) {}

void StoreFiller::fill(uint64_t from, uint64_t to) {
    std::vector<std::exception_ptr> failures(static_cast<size_t>(m_threads));
    std::vector<std::thread> threads;
    for (int t = 0; t < m_threads; ++t) {
        threads.emplace_back([this, from, to, t, &failures] {
            try {
                fillEvery(from + static_cast<uint64_t>(t) * kBucketsPerTransaction, to,
                          static_cast<uint64_t>(m_threads));
            } catch (...) {
                failures[static_cast<size_t>(t)] = std::current_exception();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

// The rows are the bucket service's own for an addition (BucketIndex::
// additionWrites, without change-feed entries), so a store filled here holds
// what the current schema needs; one transaction per kBucketsPerTransaction.
void StoreFiller::fillEvery(uint64_t from, uint64_t to, uint64_t step) {
    StorageClient storage("127.0.0.1", m_storagePort);
    BucketIndex index(*Logger::getLogger(), nullptr);
    const uint64_t stride = step * kBucketsPerTransaction;
    for (uint64_t first = from; first < to; first += stride) {
        std::vector<TableWrite> writes;
        for (uint64_t i = first; i < std::min(to, first + kBucketsPerTransaction); ++i) {
            std::vector<TableWrite> rows = index.additionWrites(*filledBucket(i, m_storeRoot));
            std::move(rows.begin(), rows.end(), std::back_inserter(writes));
        }
        CountsResult written = storage.transact(writes);
        if (!written) {
            throw std::runtime_error("storage transaction of filled buckets failed: " +
                                     written.reason());
        }
    }
}

}  // namespace bench
