// BucketStore: the change of a bucket's attributes that may remove some
// (a merge patch), tested and written as one unit.
#include <cinttypes>

#include "attribute_patch.h"
#include "bucket_schema.h"
#include "bucket_store.h"
#include "logger.h"
#include "query.h"
#include "storage_documents.h"
#include "table_storage.h"

using bucket_schema::kAttributes;
using bucket_schema::kName;

namespace {

Where* attributeRow(const std::string& id, const std::string& name) {
    return new Where("id", Equals, id, new Where("name", Equals, name));
}

// The writes that take the stored set `before` of bucket `id` to `after`:
// deletions of the names gone, updates of the values changed, insertions of
// the names new.
std::vector<TableWrite> patchWrites(const std::string& id, const Bucket::Attributes& before,
                                    const Bucket::Attributes& after) {
    std::vector<TableWrite> writes;
    for (const auto& [name, value] : before) {
        if (after.count(name) == 0) {
            writes.push_back(
                storage_documents::deleteWrite(kName, kAttributes, Query(attributeRow(id, name))));
        }
    }
    for (const auto& [name, value] : after) {
        auto stored = before.find(name);
        if (stored == before.end()) {
            writes.push_back(storage_documents::insertWrite(
                kName, kAttributes,
                InsertValues{InsertValue("id", id), InsertValue("name", name),
                             InsertValue("value", value)}));
        } else if (stored->second != value) {
            std::unique_ptr<Where> where(attributeRow(id, name));
            writes.push_back(storage_documents::updateWrite(
                kName, kAttributes, InsertValues{InsertValue("value", value)}, *where));
        }
    }
    return writes;
}

}  // namespace

BucketStore::Change BucketStore::patchUnique(uint64_t id, const AttributePatch& patch,
                                             size_t maxAttributes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Change change;
    std::unique_ptr<Bucket> bucket = fetchForChange(id, change);
    if (!bucket) {
        return change;
    }
    const Bucket::Attributes after = patch.applyTo(change.before);
    if (after.empty()) {
        change.outcome = Outcome::Empty;
        return change;
    }
    if (after.size() > maxAttributes) {
        change.outcome = Outcome::TooMany;
        return change;
    }
    std::lock_guard<std::mutex> stripe(m_stripes.stripe(after));
    const std::optional<bool> taken = heldByAnother(after, id);
    if (!taken) {
        change.outcome = Outcome::Failed;
    } else if (*taken) {
        change.outcome = Outcome::Duplicate;
    } else {
        change.outcome = writePatch(id, change.before, after, bucket->getFilename())
                             ? Outcome::Written
                             : Outcome::Failed;
    }
    return change;
}

std::optional<bool> BucketStore::heldByAnother(const Bucket::Attributes& set, uint64_t id) {
    std::optional<Records> holders = m_index.match(AttributeList(set.begin(), set.end()));
    if (!holders) {
        return std::nullopt;
    }
    for (const std::unique_ptr<Bucket>& holder : *holders) {
        // A holder of every pair with as many attributes holds exactly the set.
        if (holder->getId() != id && holder->getAttributes().size() == set.size()) {
            return true;
        }
    }
    return false;
}

// All rows in one transaction, so a failure leaves the stored set as it was
// (a half-patched set could even equal another bucket's).
bool BucketStore::writePatch(uint64_t id, const Bucket::Attributes& before,
                             const Bucket::Attributes& after, const std::string& file) {
    const std::vector<TableWrite> writes = patchWrites(std::to_string(id), before, after);
    if (writes.empty()) {
        return true;
    }
    const size_t count = writes.size();
    std::optional<std::vector<int>> rows = commitChange(writes, {"update", id, &after, file});
    bool written = rows.has_value() && rows->size() == count;
    for (size_t i = 0; written && i < rows->size(); ++i) {
        written = (*rows)[i] >= 1;
    }
    // Counted once the rows are committed (or failed): an absence of the
    // new set found before may be stale now.
    m_stripes.countWrite(after);
    if (!written) {
        m_logger.error("Failed to write the attributes of bucket %" PRIu64 " to the storage layer",
                       id);
    }
    return written;
}
