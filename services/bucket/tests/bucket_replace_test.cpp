// PUT /bucket/<id>/content against the bucket service in this process: the
// new file in place with the attributes kept, If-Match, refusals that change
// nothing, and a download running across a replacement.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include <rapidjson/document.h>

#include "bucket_service.h"
#include "handler_platform.h"
#include "sha256.h"

using rest_test::HandlerTest;

namespace {

std::string message(const std::string& text) {
    return "{ \"message\" : \"" + text + "\" }";
}

std::string sha256Of(const std::string& bytes) {
    Sha256 digest;
    digest.update(bytes.data(), bytes.size());
    return digest.hexDigest();
}

// The "etag" member of an info or replacement answer.
std::string etagIn(const std::string& body) {
    rapidjson::Document document;
    document.Parse(body.c_str());
    if (!document.IsObject() || !document.HasMember("etag")) {
        return "<none in " + body + ">";
    }
    return document["etag"].GetString();
}

// A GET of a bucket's file over a plain socket, read in two steps.
class SlowDownload {
  public:
    SlowDownload(uint16_t port, uint64_t id) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("cannot connect to the bucket service");
        }
        const std::string head = "GET /bucket/" + std::to_string(id) +
                                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        ::send(m_fd, head.data(), head.size(), MSG_NOSIGNAL);
    }
    ~SlowDownload() { close(m_fd); }

    // Reads until the header fields and at least `bytes` of the body came
    // (or everything, with `bytes` 0); false on a timeout.
    bool read(size_t bytes) {
        char buffer[65536];
        pollfd ready{m_fd, POLLIN, 0};
        while (bytes == 0 || !haveBody(bytes)) {
            if (poll(&ready, 1, 20000) != 1) {
                return false;
            }
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return bytes == 0;
            }
            m_received.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    std::string body() const {
        const size_t head = m_received.find("\r\n\r\n");
        return head == std::string::npos ? "" : m_received.substr(head + 4);
    }

  private:
    bool haveBody(size_t bytes) const {
        const size_t head = m_received.find("\r\n\r\n");
        return head != std::string::npos && m_received.size() >= head + 4 + bytes;
    }
    int m_fd = -1;
    std::string m_received;
};

class BucketReplaceTest : public HandlerTest {
  protected:
    http::ClientResponse replace(uint64_t id, const std::string& bytes,
                                 const http::Headers& headers = {}, const std::string& query = "") {
        return platform().service().request(
            "PUT", "/bucket/" + std::to_string(id) + "/content" + query, bytes, headers);
    }
    std::string download(uint64_t id) {
        return platform().service().request("GET", "/bucket/" + std::to_string(id)).body;
    }
    std::string info(uint64_t id) {
        return platform().service().request("GET", "/bucket/" + std::to_string(id) + "/info").body;
    }
};

TEST_F(BucketReplaceTest, ReplacesTheFileKeepsAttributesAndChangesTheETag) {
    const uint64_t id = platform().addOrThrow("old bytes", "{\"r1\":\"1\"}");
    const std::string before = etagIn(info(id));
    const std::string bytes = rest_test::pattern(300000, 1);
    auto answer = replace(id, bytes, {}, "?sha256=" + sha256Of(bytes));
    ASSERT_EQ(202, answer.status) << answer.body;
    EXPECT_NE(std::string::npos, answer.body.find("\"Bucket content replaced\""));
    EXPECT_EQ(bytes, download(id));
    const std::string after = etagIn(info(id));
    EXPECT_NE(before, after);
    EXPECT_EQ(after, etagIn(answer.body));
    EXPECT_NE(std::string::npos, info(id).find("\"attributes\" : { \"r1\" : \"1\"}"));
    EXPECT_EQ("{\"id\":" + std::to_string(id) + ",\"content\":{\"size\":300000,\"sha256\":\"" +
                  sha256Of(bytes) + "\"}}",
              platform().auditDetails("BUCCH").back());
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

TEST_F(BucketReplaceTest, IfMatchGuardsAgainstALostUpdate) {
    const uint64_t id = platform().addOrThrow("first", "{\"r2\":\"1\"}");
    const std::string first = etagIn(info(id));
    ASSERT_EQ(202, replace(id, "second", {{"If-Match", first}}).status);
    // The client that still holds the first tag must not overwrite.
    auto answer = replace(id, "third", {{"If-Match", first}});
    EXPECT_EQ(412, answer.status);
    EXPECT_EQ(message("Precondition failed"), answer.body);
    EXPECT_EQ("second", download(id));
    EXPECT_EQ(202, replace(id, "fourth", {{"If-Match", "*"}}).status);
    EXPECT_EQ(202, replace(id, "fifth", {{"If-Match", "\"x\", " + etagIn(info(id))}}).status);
    EXPECT_EQ("fifth", download(id));
    // A missing file has no tag that matches, not even "*".
    std::filesystem::remove(platform().bucketPath(id));
    EXPECT_EQ(412, replace(id, "sixth", {{"If-Match", "*"}}).status);
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

TEST_F(BucketReplaceTest, RefusalsChangeNothing) {
    const uint64_t id = platform().addOrThrow("kept", "{\"r3\":\"1\"}");
    const size_t audits = platform().auditDetails("BUCCH").size();
    const std::string zeros(64, '0');
    struct Case {
        uint64_t id;
        std::string bytes;
        std::string query;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {id, "", "", 400, "Failed to replace bucket content, the body is empty"},
        {id, "new", "?sha256=xyz", 400, "Invalid sha256, 64 hexadecimal digits expected"},
        {id, "new", "?sha256=" + zeros, 400, "Checksum mismatch"},
        {id + 1000, "new", "", 404,
         "Replace bucket content, bucket " + std::to_string(id + 1000) + " not found."},
    };
    for (const Case& c : cases) {
        auto answer = replace(c.id, c.bytes, {}, c.query);
        EXPECT_EQ(c.status, answer.status) << c.query;
        EXPECT_EQ(message(c.message), answer.body) << c.query;
    }
    platform().bucketService().configChange(
        "Bucket Storage Advanced",
        "{ \"maxBucketSize\" : { \"description\" : \"d\", \"type\" : \"integer\", "
        "\"default\" : \"0\", \"value\" : \"1000\" } }");
    auto answer = replace(id, std::string(5000, 'x'));
    platform().bucketService().configChange(
        "Bucket Storage Advanced",
        "{ \"maxBucketSize\" : { \"description\" : \"d\", \"type\" : \"integer\", "
        "\"default\" : \"0\", \"value\" : \"0\" } }");
    EXPECT_EQ(413, answer.status);
    EXPECT_EQ(message("Failed to replace bucket content, the file exceeds the maximum bucket size "
                      "of 1000 bytes"),
              answer.body);
    EXPECT_EQ("kept", download(id));
    EXPECT_EQ(audits, platform().auditDetails("BUCCH").size());
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

// A replacement whose record was committed but whose answer was lost: the
// old file stays, and the index's facts and the feed's newest record,
// which describe the new one, describe it again once the index answers.
// Its own suite, so the feed it starts records nothing for the others.
class BucketReplaceFeedTest : public BucketReplaceTest {
  protected:
    // The etags of the feed's records of bucket `id`, oldest first.
    std::vector<std::string> recordedETags(uint64_t id) {
        auto feed = platform().service().request("GET", "/bucket/changes?after=0&limit=10000");
        rapidjson::Document page;
        page.Parse(feed.body.c_str());
        std::vector<std::string> etags;
        if (!page.IsObject() || !page.HasMember("changes")) {
            ADD_FAILURE() << feed.body;
            return etags;
        }
        for (const auto& change : page["changes"].GetArray()) {
            if (change["bucket"].GetUint64() == id) {
                etags.push_back(change["etag"].GetString());
            }
        }
        return etags;
    }
};

TEST_F(BucketReplaceFeedTest, AReplacementWithALostAnswerIsRecordedAgain) {
    BucketStore& store = platform().bucketService().store();
    ASSERT_TRUE(store.feed().start());
    const uint64_t id = platform().addOrThrow("old bytes", "{\"r5\":\"1\"}");
    const std::string before = info(id);
    platform().storage().loseAnswerOf = [](const std::vector<TableWrite>&) { return true; };
    const http::ClientResponse answer = replace(id, "new bytes, longer than the old");
    platform().storage().loseAnswerOf = nullptr;
    EXPECT_EQ(500, answer.status) << answer.body;
    EXPECT_EQ("old bytes", download(id));
    ASSERT_EQ(2u, recordedETags(id).size()) << "the replacement's record was committed";
    EXPECT_TRUE(store.intents().isInFlight(id));

    EXPECT_EQ(1u, store.recordInterruptedReplacements());
    EXPECT_FALSE(store.intents().isInFlight(id));
    store.recordCache().clear();
    EXPECT_EQ(before, info(id));
    const std::vector<std::string> etags = recordedETags(id);
    ASSERT_EQ(3u, etags.size());
    EXPECT_EQ(etagIn(before), etags.back());
}

// A download that began before the replacement sends the old bytes to the
// end; the next one sends the new.
TEST_F(BucketReplaceTest, ARunningDownloadKeepsTheOldBytes) {
    const std::string old = rest_test::pattern(8 << 20, 2);
    const uint64_t id = platform().addOrThrow(old, "{\"r4\":\"1\"}");
    SlowDownload running(platform().servicePort(), id);
    ASSERT_TRUE(running.read(1024));
    const std::string fresh = rest_test::pattern(8 << 20, 3);
    ASSERT_EQ(202, replace(id, fresh).status);
    ASSERT_TRUE(running.read(0));
    EXPECT_TRUE(running.body() == old) << "a download across the replacement mixed its bytes";
    EXPECT_TRUE(download(id) == fresh);
}

}  // namespace
