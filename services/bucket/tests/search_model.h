// A model of the bucket search for the tests: random buckets and random
// conditions over a small vocabulary, and a plain evaluator of those
// conditions, written independently of the service's own, to compare the
// service's answers with.
//
// Thread-safety: test code for one thread.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace search_model {

using Attributes = std::map<std::string, std::string>;

struct ModelBucket {
    uint64_t id = 0;
    Attributes attributes;
    uint64_t size = 0;       // the file facts, with `withFileFacts`
    int64_t modifiedMs = 0;  // milliseconds since the epoch
};

// A condition as JSON text and the evaluator that decides it.
struct ModelCondition {
    std::string json;
    // The kind, and for a leaf its subject, op and values.
    std::string group;  // "all", "any", "not", or "" for a leaf
    std::vector<ModelCondition> members;
    bool fact = false;     // the leaf is on a fact
    std::string factName;  // "id", "size" or "modified"
    std::string name;
    std::string op;
    bool asNumber = false;
    bool asTime = false;
    std::vector<std::string> values;
    // For size and modified: each value as a number (bytes, microseconds
    // since the epoch) and as the JSON it is sent as.
    std::vector<double> numbers;
    std::vector<std::string> literals;

    bool matches(const ModelBucket& bucket) const;
};

// `text` as a JSON string.
std::string jsonText(const std::string& text);

class Generator {
  public:
    explicit Generator(uint32_t seed) : m_random(seed) {}
    // Adds leaves on the facts size and modified, instants among the
    // attribute values and leaves with "as" : "time"; the buckets then
    // carry random file facts, to be stored in the index as they are.
    void withFileFacts() { m_fileFacts = true; }
    // A bucket with 0 to 4 attributes from the vocabulary.
    ModelBucket bucket(uint64_t id);
    // A condition of at most `depth` nested groups.
    ModelCondition condition(int depth);

  private:
    ModelCondition leaf();
    void fileFactLeaf(ModelCondition& leaf);
    size_t pick(size_t count) {
        return std::uniform_int_distribution<size_t>(0, count - 1)(m_random);
    }
    std::mt19937 m_random;
    bool m_fileFacts = false;
};

}  // namespace search_model
