// The HTTP side of the bucket API against the real platform, on the
// service's port and through the core: paging of the listing and of the
// match.
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "rest_platform.h"

using rest_test::RestTest;

namespace {

struct PageSeen {
    std::vector<uint64_t> ids;
    bool hasNext = false;
    std::optional<uint64_t> next;
};

// The ids of the array `member` of a listing or match answer, and its
// "next" member.
PageSeen readPage(const std::string& body, const char* member) {
    rapidjson::Document document;
    document.Parse(body.c_str());
    PageSeen seen;
    if (!document.IsObject() || !document.HasMember(member)) {
        ADD_FAILURE() << "not a page: " << body;
        return seen;
    }
    for (const auto& bucket : document[member].GetArray()) {
        seen.ids.push_back(bucket["bucket"].GetUint64());
    }
    seen.hasNext = document.HasMember("next");
    if (seen.hasNext && !document["next"].IsNull()) {
        seen.next = document["next"].GetUint64();
    }
    return seen;
}

class BucketHttpTest : public RestTest {
  protected:
    static void SetUpTestSuite() {
        RestTest::SetUpTestSuite();
        for (int i = 0; i < 7; ++i) {
            const std::string group = i % 2 == 0 ? "even" : "odd";
            s_ids.push_back(platform().addOrThrow(
                "file " + std::to_string(i),
                "{\"n\":\"" + std::to_string(i) + "\",\"group\":\"" + group + "\"}"));
        }
    }

    // Every page of `target` (query "?limit=<limit>&after=..."), with the
    // same answers on both ports; returns the ids in page order.
    static std::vector<uint64_t> walk(const std::string& method, const std::string& target,
                                      const std::string& body, size_t limit, const char* member) {
        std::vector<uint64_t> ids;
        std::string after;
        for (int pages = 0; pages < 20; ++pages) {
            const std::string query = "?limit=" + std::to_string(limit) + after;
            auto direct = platform().service().request(method, target + query, body);
            auto proxied = platform().core().request(method, "/tarvolt" + target + query, body);
            EXPECT_EQ(200, direct.status) << direct.body;
            EXPECT_EQ(direct.body, proxied.body);
            PageSeen page = readPage(direct.body, member);
            EXPECT_TRUE(page.hasNext) << direct.body;
            EXPECT_LE(page.ids.size(), limit);
            ids.insert(ids.end(), page.ids.begin(), page.ids.end());
            if (!page.next) {
                return ids;
            }
            EXPECT_EQ(*page.next, page.ids.back());
            after = "&after=" + std::to_string(*page.next);
        }
        ADD_FAILURE() << "paging did not end";
        return ids;
    }

    static std::vector<uint64_t> s_ids;
};

std::vector<uint64_t> BucketHttpTest::s_ids;

TEST_F(BucketHttpTest, ListingAndMatchPageByAscendingIds) {
    for (size_t limit : {1, 3, 7, 10000}) {
        EXPECT_EQ(s_ids, walk("GET", "/bucket", "", limit, "buckets")) << limit;
    }
    const std::string odd = "{ \"attributes\" : { \"group\" : \"odd\" } }";
    const std::vector<uint64_t> odds{s_ids[1], s_ids[3], s_ids[5]};
    EXPECT_EQ(odds, walk("PUT", "/bucket/match", odd, 2, "matches"));
    EXPECT_EQ(s_ids, walk("PUT", "/bucket/match", "{ \"attributes\" : { } }", 4, "matches"));

    // `after` alone: the ids above it, without "next"; no parameter: as ever.
    auto rest = platform().service().request("GET", "/bucket?after=" + std::to_string(s_ids[4]));
    PageSeen tail = readPage(rest.body, "buckets");
    EXPECT_EQ((std::vector<uint64_t>{s_ids[5], s_ids[6]}), tail.ids);
    EXPECT_FALSE(tail.hasNext);
    auto all = platform().core().request("GET", "/tarvolt/bucket");
    EXPECT_EQ(all.body, platform().service().request("GET", "/bucket").body);
    EXPECT_FALSE(readPage(all.body, "buckets").hasNext);
    EXPECT_EQ(all.body.rfind("{ \"buckets\" : [{ \"bucket\" : ", 0), 0u) << all.body;
}

TEST_F(BucketHttpTest, BadPagingValuesAreRefusedWithJson) {
    const std::string badLimit =
        "{ \"message\" : \"Invalid limit, a number from 1 to 10000 expected\" }";
    const std::string badAfter = "{ \"message\" : \"Invalid after, a bucket id expected\" }";
    for (const char* query : {"limit=0", "limit=10001", "limit=abc", "limit=", "limit=-1",
                              "limit=99999999999999999999999"}) {
        for (auto* client : {&platform().service(), &platform().core()}) {
            const std::string prefix = client == &platform().core() ? "/tarvolt" : "";
            auto listing = client->request("GET", prefix + "/bucket?" + query);
            EXPECT_EQ(400, listing.status) << query;
            EXPECT_EQ(badLimit, listing.body) << query;
        }
        auto match = platform().service().request("PUT", std::string("/bucket/match?") + query,
                                                  "{ \"attributes\" : { } }");
        EXPECT_EQ(400, match.status) << query;
        EXPECT_EQ(badLimit, match.body) << query;
    }
    for (const char* query : {"after=-1", "after=1e3", "after=", "after=18446744073709551616"}) {
        auto listing = platform().service().request("GET", std::string("/bucket?") + query);
        EXPECT_EQ(400, listing.status) << query;
        EXPECT_EQ(badAfter, listing.body) << query;
    }
}

}  // namespace
