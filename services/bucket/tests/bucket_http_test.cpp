// The HTTP side of the bucket API against the real platform, on the
// service's port and through the core: paging of the listing and of the
// match, HEAD, validators and conditional requests, byte ranges (a resumed
// download of a large file included), the file facts of /info, the
// checksum of an upload and the refusal of an upload before its file.
#include <rapidjson/document.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rest_platform.h"
#include "sha256.h"
#include "test_util.h"

using rest_test::pattern;
using rest_test::RestTest;

namespace {

// `data` framed as one chunk of a chunked body.
std::string chunkOf(const std::string& data) {
    char size[24];
    std::snprintf(size, sizeof(size), "%zx\r\n", data.size());
    return size + data + "\r\n";
}

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

// The service's client and the core's, with the path prefix of each.
std::vector<std::pair<http::Client*, std::string>> bothPorts(rest_test::RestPlatform& platform) {
    return {{&platform.service(), ""}, {&platform.core(), "/tarvolt"}};
}

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
    // The whole listing streams; the core relays it chunked, and HEAD as a head.
    EXPECT_EQ("chunked", http::headerValue(all.header, "Transfer-Encoding"));
    EXPECT_EQ("", http::headerValue(all.header, "Content-Length"));
    auto head = platform().core().request("HEAD", "/tarvolt/bucket");
    EXPECT_EQ(200, head.status);
    EXPECT_EQ("", head.body);
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

TEST_F(BucketHttpTest, RangesAreByteExactAtEveryEdge) {
    const std::string content = pattern(300001, 5);
    const uint64_t id = platform().addOrThrow(content, "{\"range\":\"1\"}");
    const std::string etag = http::headerValue(
        platform().service().request("HEAD", "/bucket/" + std::to_string(id)).header, "ETag");
    ASSERT_FALSE(etag.empty());
    struct Case {
        std::string range;
        size_t first;
        size_t length;
    };
    const Case cases[] = {{"bytes=0-0", 0, 1},
                          {"bytes=0-131072", 0, 131073},
                          {"bytes=131072-", 131072, 168929},
                          {"bytes=-1", 300000, 1},
                          {"bytes=300000-", 300000, 1},
                          {"bytes=299990-999999", 299990, 11}};
    for (auto [client, prefix] : bothPorts(platform())) {
        const std::string path = prefix + "/bucket/" + std::to_string(id);
        for (const Case& c : cases) {
            auto answer = client->request("GET", path, {}, {{"Range", c.range}});
            EXPECT_EQ(206, answer.status) << prefix << c.range;
            EXPECT_EQ("bytes " + std::to_string(c.first) + "-" +
                          std::to_string(c.first + c.length - 1) + "/300001",
                      http::headerValue(answer.header, "Content-Range"));
            EXPECT_EQ("bytes", http::headerValue(answer.header, "Accept-Ranges"));
            EXPECT_TRUE(answer.body == content.substr(c.first, c.length)) << prefix << c.range;
        }
        auto past = client->request("GET", path, {}, {{"Range", "bytes=300001-"}});
        EXPECT_EQ(416, past.status);
        EXPECT_EQ("bytes */300001", http::headerValue(past.header, "Content-Range"));
        EXPECT_EQ("{ \"message\" : \"Range not satisfiable\" }", past.body);
        // Several ranges, or a stale If-Range: the whole file.
        for (const http::Headers& fields :
             {http::Headers{{"Range", "bytes=0-1,5-6"}},
              http::Headers{{"Range", "bytes=5-6"}, {"If-Range", "\"stale\""}}}) {
            auto whole = client->request("GET", path, {}, fields);
            EXPECT_EQ(200, whole.status);
            EXPECT_TRUE(whole.body == content);
        }
        auto current =
            client->request("GET", path, {}, {{"Range", "bytes=5-6"}, {"If-Range", etag}});
        EXPECT_EQ(206, current.status);
        EXPECT_EQ(content.substr(5, 2), current.body);
    }
}

TEST_F(BucketHttpTest, HeadValidatorsConditionsAndInfo) {
    const uint64_t id = platform().addOrThrow("validated", "{\"tag\":\"1\"}");
    const std::string idPath = "/bucket/" + std::to_string(id);
    for (auto [client, prefix] : bothPorts(platform())) {
        const std::string path = prefix + idPath;
        auto head = client->request("HEAD", path);
        auto plain = client->request("GET", path);
        EXPECT_EQ(200, plain.status);
        EXPECT_EQ("validated", plain.body);
        EXPECT_EQ(head.header, plain.header) << prefix << ": a plain GET has the fields of HEAD";
        EXPECT_EQ("bytes", http::headerValue(plain.header, "Accept-Ranges")) << prefix;
        EXPECT_EQ("application/octet-stream", http::headerValue(plain.header, "Content-Type"));
        EXPECT_EQ(200, head.status);
        EXPECT_EQ("", head.body);
        EXPECT_EQ("9", http::headerValue(head.header, "Content-Length"));
        EXPECT_EQ("1", http::headerValue(head.header, "Xtag"));
        const std::string etag = http::headerValue(head.header, "ETag");
        const std::string modified = http::headerValue(head.header, "Last-Modified");
        ASSERT_EQ('"', etag.front());
        auto get = client->request("GET", path, {}, {{"If-None-Match", "\"other\""}});
        EXPECT_EQ(head.header, get.header) << "HEAD has the fields of the GET";
        EXPECT_EQ("validated", get.body);

        EXPECT_EQ(304, client->request("GET", path, {}, {{"If-None-Match", etag}}).status);
        EXPECT_EQ(304, client->request("HEAD", path, {}, {{"If-None-Match", etag}}).status);
        EXPECT_EQ(304, client->request("GET", path, {}, {{"If-Modified-Since", modified}}).status);
        auto failed = client->request("GET", path, {}, {{"If-Match", "\"other\""}});
        EXPECT_EQ(412, failed.status);
        EXPECT_EQ("{ \"message\" : \"Precondition failed\" }", failed.body);
        EXPECT_EQ(412, client
                           ->request("GET", path, {},
                                     {{"If-Unmodified-Since", "Thu, 01 Jan 1970 00:00:00 GMT"}})
                           .status);
        EXPECT_EQ(200, client->request("GET", path, {}, {{"If-Match", etag}}).status);

        rapidjson::Document info;
        auto facts = client->request("GET", path + "/info");
        ASSERT_EQ(200, facts.status) << facts.body;
        info.Parse(facts.body.c_str());
        ASSERT_TRUE(info.IsObject()) << facts.body;
        EXPECT_EQ(id, info["bucket"].GetUint64());
        EXPECT_EQ(9u, info["size"].GetUint64());
        EXPECT_EQ(etag, info["etag"].GetString());
        EXPECT_EQ(24u, std::string(info["modified"].GetString()).size()) << facts.body;
        EXPECT_STREQ("1", info["attributes"]["tag"].GetString());
        EXPECT_EQ(404, client->request("GET", prefix + "/bucket/999999/info").status);
        EXPECT_EQ(404, client->request("HEAD", prefix + "/bucket/999999").status);
    }
    // An attribute change leaves the file, and so the ETag, as it was.
    auto before = platform().service().request("HEAD", idPath);
    auto changed =
        platform().service().request("PUT", idPath, "{ \"attributes\" : { \"more\" : \"2\" } }");
    EXPECT_EQ(202, changed.status);
    auto after = platform().service().request("HEAD", idPath);
    EXPECT_EQ(http::headerValue(before.header, "ETag"), http::headerValue(after.header, "ETag"));
    EXPECT_EQ("2", http::headerValue(after.header, "Xmore"));
}

// A download cut off at a random offset and resumed from there, as
// `curl -C -` does, gives the file byte for byte.
TEST_F(BucketHttpTest, ResumedDownloadOfALargeFileIsByteExact) {
    const size_t size = 64u << 20;
    const std::string content = pattern(size, 64);
    const uint64_t id = platform().addOrThrow(content, "{\"resume\":\"64\"}");
    std::mt19937 random(std::random_device{}());
    for (auto [client, prefix] : bothPorts(platform())) {
        const std::string path = prefix + "/bucket/" + std::to_string(id);
        const size_t cut = std::uniform_int_distribution<size_t>(1, size - 1)(random);
        std::string received;
        {
            auto exchange = client->open("GET", path, {}, 0);
            ASSERT_EQ(200, exchange->readHead().status);
            std::vector<char> buffer(1 << 20);
            while (received.size() < cut) {
                size_t n = exchange->readBody(buffer.data(),
                                              std::min(buffer.size(), cut - received.size()));
                ASSERT_GT(n, 0u);
                received.append(buffer.data(), n);
            }
        }  // the connection closes here, mid-body
        auto rest = client->request("GET", path, {},
                                    {{"Range", "bytes=" + std::to_string(received.size()) + "-"}});
        ASSERT_EQ(206, rest.status) << prefix << " cut at " << cut;
        received += rest.body;
        ASSERT_EQ(size, received.size()) << prefix << " cut at " << cut;
        EXPECT_TRUE(received == content) << prefix << " cut at " << cut;
    }
}

// The "sha256" field, before or after the file: a match stores the bucket,
// a mismatch or a malformed digest stores nothing (no file, row, id or
// audit entry).
TEST_F(BucketHttpTest, UploadChecksumIsCheckedBeforeAnythingIsStored) {
    const std::string content = pattern(3 << 20, 9);
    Sha256 digest;
    digest.update(content.data(), content.size());
    const std::string hex = digest.hexDigest();
    auto upload = [&](http::Client& client, const std::string& target, const std::string& sum,
                      bool sumFirst, const std::string& tag) {
        std::vector<rest_test::FormPart> parts{
            {"attributes", std::nullopt, "{\"sum\":\"" + tag + "\"}"},
            {"bucket", std::string("data.bin"), content}};
        parts.insert(sumFirst ? parts.begin() : parts.end(), {"sha256", std::nullopt, sum});
        return client.request("POST", target, rest_test::multipartBody(parts),
                              rest_test::multipartHeaders());
    };
    std::string upper = hex;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    auto first = upload(platform().service(), "/bucket", hex, true, "first");
    ASSERT_EQ(202, first.status) << first.body;
    const size_t audits = platform().auditDetails("BUCAD").size();
    const std::string listing = platform().service().request("GET", "/bucket").body;
    const std::string wrong = std::string(63, '0') + "1";
    for (auto [client, prefix] : bothPorts(platform())) {
        for (bool sumFirst : {true, false}) {
            auto refused = upload(*client, prefix + "/bucket", wrong, sumFirst, "wrong");
            EXPECT_EQ(400, refused.status);
            EXPECT_EQ("{ \"message\" : \"Checksum mismatch\" }", refused.body);
        }
        auto malformed = upload(*client, prefix + "/bucket", "xyz", true, "bad");
        EXPECT_EQ(400, malformed.status);
        EXPECT_EQ("{ \"message\" : \"Invalid sha256, 64 hexadecimal digits expected\" }",
                  malformed.body);
    }
    EXPECT_EQ(listing, platform().service().request("GET", "/bucket").body);
    EXPECT_EQ(audits, platform().auditDetails("BUCAD").size());
    EXPECT_TRUE(platform().uploadLeftovers().empty());
    // No id was used up by the refusals; a digest after the file, in upper
    // case, through the core, is checked as well.
    auto second = upload(platform().core(), "/tarvolt/bucket", upper, false, "second");
    ASSERT_EQ(202, second.status) << second.body;
    rapidjson::Document ids[2];
    ids[0].Parse(first.body.c_str());
    ids[1].Parse(second.body.c_str());
    EXPECT_EQ(ids[0]["bucket"].GetUint64() + 1, ids[1]["bucket"].GetUint64());
    EXPECT_TRUE(platform()
                    .service()
                    .request("GET", "/bucket/" + std::to_string(ids[1]["bucket"].GetUint64()))
                    .body == content);
}

// A checksummed upload whose client goes away in the middle of the file
// (its digest running on a thread of its own): the service removes the
// partial file, stores nothing and takes the next checksummed upload.
TEST_F(BucketHttpTest, AnAbandonedChecksummedUploadLeavesNothing) {
    const std::string content = pattern(8 << 20, 4);
    Sha256 digest;
    digest.update(content.data(), content.size());
    const std::string body =
        rest_test::multipartBody({{"sha256", std::nullopt, digest.hexDigest()},
                                  {"attributes", std::nullopt, "{\"gone\":\"1\"}"},
                                  {"bucket", std::string("data.bin"), content}});
    const std::string listing = platform().service().request("GET", "/bucket").body;
    {
        http::Client client("127.0.0.1", platform().servicePort());
        auto exchange = client.open("POST", "/bucket", rest_test::multipartHeaders(), body.size());
        exchange->writeBody(body.data(), body.size() / 2);
        EXPECT_TRUE(
            testing_support::waitFor([&] { return !platform().uploadLeftovers().empty(); }));
    }  // the connection closes with half of the file unsent
    EXPECT_TRUE(testing_support::waitFor([&] { return platform().uploadLeftovers().empty(); }));
    EXPECT_EQ(listing, platform().service().request("GET", "/bucket").body);
    auto whole =
        platform().service().request("POST", "/bucket", body, rest_test::multipartHeaders());
    EXPECT_EQ(202, whole.status) << whole.body;
}

// An upload whose attributes come first is refused before its file is
// read, on the service's port and through the core alike: the answer comes
// while most of the announced body is unsent (the client waits for it, or
// keeps sending), the connection closes, and nothing is stored.
TEST_F(BucketHttpTest, AttributesBeforeTheFileAreRefusedAtOnce) {
    platform().addOrThrow("first", "{\"early\":\"dup\"}");
    const std::string listing = platform().service().request("GET", "/bucket").body;
    const std::string start = std::string("--") + rest_test::kBoundary +
                              "\r\nContent-Disposition: form-data; name=\"attributes\"\r\n\r\n";
    const std::string file = "\r\n--" + std::string(rest_test::kBoundary) +
                             "\r\nContent-Disposition: form-data; name=\"bucket\"; "
                             "filename=\"big.bin\"\r\n\r\n";
    const std::string requestHead =
        " HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=" +
        std::string(rest_test::kBoundary) + "\r\n";
    const struct {
        std::string attributes;
        std::string answer;
    } cases[] = {
        {"{\"early\":\"dup\"}", "HTTP/1.1 409 Conflict"},
        {"{\"early\":5}", "HTTP/1.1 400 Bad Request"},
        {"{}", "HTTP/1.1 409 Conflict"},
    };
    const std::pair<uint16_t, std::string> ports[] = {
        {platform().servicePort(), "/bucket"}, {platform().core().port(), "/tarvolt/bucket"}};
    for (const auto& [port, target] : ports) {
        for (const auto& c : cases) {
            SCOPED_TRACE(target + " " + c.attributes);
            const std::string head = start + c.attributes + file;
            http::test::RawConnection connection(port);
            ASSERT_TRUE(connection.send("POST " + target + requestHead + "Content-Length: " +
                                        std::to_string(head.size() + (256u << 20)) + "\r\n\r\n" +
                                        head + pattern(1 << 20, 3)));
            const std::string answer = connection.readResponse();
            EXPECT_EQ(0u, answer.rfind(c.answer, 0)) << answer;
            EXPECT_TRUE(connection.waitForClose());
        }
    }
    // Through the core, a client that keeps sending 200 MB, with its
    // length or chunked, gets the duplicate refusal while it sends.
    const std::string piece = pattern(1 << 20, 4);
    for (bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "chunked" : "known length");
        const std::string head = start + "{\"early\":\"dup\"}" + file;
        const uint64_t total = 200ull << 20;
        http::test::RawConnection connection(platform().core().port());
        ASSERT_TRUE(connection.send(
            "POST /tarvolt/bucket" + requestHead +
            (chunked
                 ? "Transfer-Encoding: chunked\r\n\r\n" + chunkOf(head)
                 : "Content-Length: " + std::to_string(head.size() + total) + "\r\n\r\n" + head)));
        const std::string framed = chunked ? chunkOf(piece) : piece;
        std::atomic<bool> answered{false};
        std::atomic<uint64_t> sent{0};
        std::thread sender([&] {
            while (sent < total && !answered && connection.send(framed)) {
                sent += piece.size();
            }
        });
        const std::string answer = connection.readResponse();
        answered = true;
        EXPECT_EQ(0u, answer.rfind("HTTP/1.1 409 Conflict\r\n", 0)) << answer;
        EXPECT_EQ("{ \"message\" : \"Duplicate bucket\" }", http::test::bodyOf(answer));
        EXPECT_TRUE(connection.waitForClose());
        sender.join();
        EXPECT_LT(sent, total);
    }
    EXPECT_EQ(listing, platform().service().request("GET", "/bucket").body);
    EXPECT_TRUE(platform().uploadLeftovers().empty());
    // Attributes after the file are judged after it, as before.
    auto late = platform().service().request(
        "POST", "/bucket",
        rest_test::multipartBody({{"bucket", std::string("f.bin"), "second"},
                                  {"attributes", std::nullopt, "{\"early\":\"dup\"}"}}),
        rest_test::multipartHeaders());
    EXPECT_EQ(409, late.status);
    EXPECT_EQ("{ \"message\" : \"Duplicate bucket\" }", late.body);
}

// Of concurrent additions of one set (small forms, the attributes before
// the file or after it) the index's key lets one through; the others get
// the duplicate refusal and leave no row and no file. Once that bucket is
// deleted its set can be added again.
TEST_F(BucketHttpTest, ConcurrentAdditionsOfOneSetStoreItOnce) {
    constexpr int kClients = 6;
    const std::string attributes = "{\"race\":\"one set\",\"round\":\"1\"}";
    const std::string listing = platform().service().request("GET", "/bucket").body;
    std::vector<int> statuses(kClients, 0);
    std::vector<std::string> bodies(kClients);
    std::atomic<bool> go{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            http::Client client("127.0.0.1", platform().servicePort());
            const std::string file = "content " + std::to_string(i);
            const std::string body =
                i % 2 == 0 ? rest_test::multipartBody({{"attributes", std::nullopt, attributes},
                                                       {"bucket", std::string("f.bin"), file}})
                           : rest_test::multipartBody({{"bucket", std::string("f.bin"), file},
                                                       {"attributes", std::nullopt, attributes}});
            while (!go) {
                std::this_thread::yield();
            }
            auto answer = client.request("POST", "/bucket", body, rest_test::multipartHeaders());
            statuses[i] = answer.status;
            bodies[i] = answer.body;
        });
    }
    go = true;
    for (std::thread& client : clients) {
        client.join();
    }
    int added = 0;
    for (int i = 0; i < kClients; ++i) {
        if (statuses[i] == 202) {
            added++;
            continue;
        }
        EXPECT_EQ(409, statuses[i]) << bodies[i];
        EXPECT_EQ("{ \"message\" : \"Duplicate bucket\" }", bodies[i]);
    }
    EXPECT_EQ(1, added);
    auto match =
        platform().service().request("PUT", "/bucket/match", "{\"attributes\":" + attributes + "}");
    ASSERT_EQ(200, match.status);
    const std::vector<uint64_t> held = readPage(match.body, "matches").ids;
    ASSERT_EQ(1u, held.size()) << match.body;
    const uint64_t id = held[0];
    EXPECT_TRUE(platform().uploadLeftovers().empty());

    EXPECT_EQ(409, platform().add("again", attributes).status);
    EXPECT_EQ(200, platform().service().request("DELETE", "/bucket/" + std::to_string(id)).status);
    EXPECT_EQ(202, platform().add("again", attributes).status) << "the deleted set is free";
    EXPECT_NE(listing, platform().service().request("GET", "/bucket").body);
}

}  // namespace
