#include "bucket_paging.h"

#include <memory>
#include <utility>

#include "bucket_text.h"

namespace bucket_paging {
namespace {

// The decimal number `text` when it lies in [minimum, maximum].
std::optional<uint64_t> readNumber(const std::string& text, uint64_t minimum, uint64_t maximum) {
    std::optional<uint64_t> value = bucket_text::parseBucketId(text);
    if (!value || *value < minimum || *value > maximum) {
        return std::nullopt;
    }
    return value;
}

// The state of one streamed listing: the page to send next and where the
// one after it starts.
class ListingPieces {
  public:
    ListingPieces(const std::string& member, BucketStore& store, BucketStore::Page first)
        : m_opening("{ \"" + member + "\" : ["), m_store(store), m_pending(std::move(first)) {}

    http::ChunkStep next(std::string& piece) {
        if (!m_pending) {
            m_pending = m_store.listFrom(m_first, kStreamPage);
            if (!m_pending) {
                return fail(piece);
            }
        }
        BucketStore::Page page = std::move(*m_pending);
        m_pending.reset();
        piece = m_opening;
        m_opening.clear();
        if (!page.buckets.empty()) {
            piece += (m_written ? "," : "") + bucket_text::bucketObjects(page.buckets);
            m_written = true;
        }
        if (page.next) {
            m_first = *page.next + 1;
            return http::ChunkStep::more;
        }
        piece += "] }";
        return http::ChunkStep::last;
    }

  private:
    http::ChunkStep fail(std::string& piece) {
        piece = "the page from bucket " + std::to_string(m_first) +
                " on could not be read from the storage service";
        return http::ChunkStep::failed;
    }

    std::string m_opening;  // sent with the first page
    BucketStore& m_store;
    std::optional<BucketStore::Page> m_pending;
    uint64_t m_first = 0;
    bool m_written = false;  // a bucket object is out, so the next needs a comma
};

}  // namespace

http::ChunkSource listingSource(const std::string& member, BucketStore& store,
                                BucketStore::Page first) {
    auto pieces = std::make_shared<ListingPieces>(member, store, std::move(first));
    return [pieces](std::string& piece) { return pieces->next(piece); };
}

std::string readPaging(const http::Request& request, Paging& paging) {
    if (std::optional<std::string> limit = request.findQueryParameter("limit")) {
        std::optional<uint64_t> value = readNumber(*limit, 1, kMaxLimit);
        if (!value) {
            return "Invalid limit, a number from 1 to " + std::to_string(kMaxLimit) + " expected";
        }
        paging.limit = static_cast<size_t>(*value);
        paging.requested = true;
    }
    if (std::optional<std::string> after = request.findQueryParameter("after")) {
        std::optional<uint64_t> value = readNumber(*after, 0, UINT64_MAX);
        if (!value) {
            return "Invalid after, a bucket id expected";
        }
        paging.after = *value;
        paging.requested = true;
    }
    return "";
}

std::string pageBody(const std::string& member, const BucketStore::Page& page,
                     const Paging& paging) {
    std::string body = "{ \"" + member + "\" : [" + bucket_text::bucketObjects(page.buckets) + "]";
    if (paging.limit) {
        body += ", \"next\" : " + (page.next ? std::to_string(*page.next) : std::string("null"));
    }
    return body + " }";
}

bucket_handlers::Answer pageAnswer(const std::string& member,
                                   const std::optional<BucketStore::Page>& page,
                                   const Paging& paging) {
    if (!page) {
        return bucket_handlers::storageUnavailable();
    }
    return {http::StatusCode::success_ok, pageBody(member, *page, paging)};
}

}  // namespace bucket_paging
