// POST /bucket against the bucket service in this process (its store on the
// in-process storage):
// the stored file, rows and audit entry, every refusal with the id it does or
// does not use up, duplicates, escaping, failures while saving or writing,
// and what the form may hold: unread parts, parts named twice, the maximum
// bucket size.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bucket_service.h"
#include "handler_platform.h"

namespace fs = std::filesystem;
using rest_test::compact;
using rest_test::HandlerTest;
using testing_support::readFile;

namespace {

std::string message(const std::string& text) {
    return "{ \"message\" : \"" + text + "\" }";
}

std::string toJson(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool listed(const std::string& listing, uint64_t id) {
    return listing.find("{ \"bucket\" : " + std::to_string(id) + ",") != std::string::npos;
}

// A POST /bucket sent in pieces over a plain socket, so that a test can look
// at the service between the pieces and read an answer that comes before
// the whole body was sent.
class StreamedUpload {
  public:
    StreamedUpload(uint16_t port, uint64_t contentLength) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("cannot connect to the bucket service");
        }
        send(
            "POST /bucket HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
            "boundary=" +
            std::string(rest_test::kBoundary) +
            "\r\nContent-Length: " + std::to_string(contentLength) + "\r\n\r\n");
    }
    ~StreamedUpload() { close(m_fd); }

    // False when the service closed the connection.
    bool send(const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // The status and body of the answer, "" when none came within 20 s.
    std::string answer() {
        std::string received;
        char buffer[4096];
        pollfd ready{m_fd, POLLIN, 0};
        while (poll(&ready, 1, 20000) == 1) {
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<size_t>(n));
            const size_t head = received.find("\r\n\r\n");
            const size_t length = received.find("Content-Length: ");
            if (head != std::string::npos && length != std::string::npos &&
                received.size() >= head + 4 + std::stoul(received.substr(length + 16))) {
                return received.substr(9, 3) + " " + received.substr(head + 4);
            }
        }
        return "";
    }

  private:
    int m_fd = -1;
};

// The delimiter and header lines that open a part of rest_test::kBoundary.
std::string partHead(const std::string& name, const std::string& filename = "") {
    return std::string("--") + rest_test::kBoundary +
           "\r\nContent-Disposition: form-data; name=\"" + name + "\"" +
           (filename.empty() ? "" : "; filename=\"" + filename + "\"") + "\r\n\r\n";
}

std::string advancedItem(const std::string& name, const std::string& value) {
    return "{ \"" + name + "\" : { \"description\" : \"d\", \"type\" : \"integer\", " +
           "\"default\" : \"0\", \"value\" : \"" + value + "\" } }";
}

class BucketAddTest : public HandlerTest {
  protected:
    std::string listing() { return platform().service().request("GET", "/bucket").body; }
    // Changes the maximum bucket size as the core's change notification does.
    void setMaxBucketSize(const std::string& value) {
        platform().bucketService().configChange("Bucket Storage Advanced",
                                                advancedItem("maxBucketSize", value));
    }
};

TEST_F(BucketAddTest, StoresFileRowsAndAuditEntry) {
    auto answer = platform().add("hello bucket", "{\"s1colour\":\"red\",\"s1size\":\"2\"}");
    ASSERT_EQ(202, answer.status) << answer.body;
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    const uint64_t id = document["bucket"].GetUint64();
    EXPECT_EQ("{ \"bucket\" : " + std::to_string(id) + " }", answer.body);
    EXPECT_EQ("application/json", http::headerValue(answer.header, "Content-Type"));

    EXPECT_EQ("hello bucket", readFile(platform().bucketPath(id)));
    const std::string object =
        "{ \"bucket\" : " + std::to_string(id) + ", \"file\" : \"" + platform().bucketPath(id) +
        "\", \"attributes\" : { \"s1colour\" : \"red\",\"s1size\" : \"2\"} }";
    EXPECT_NE(std::string::npos, listing().find(object)) << listing();
    const std::string detail = "{ \"id\": " + std::to_string(id) +
                               ", \"bucket\" : {\"s1colour\" : \"red\", \"s1size\" : \"2\" } }";
    auto audit = platform().auditDetails("BUCAD");
    ASSERT_FALSE(audit.empty());
    EXPECT_EQ(compact(detail), audit.back());
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

TEST_F(BucketAddTest, IncompleteFormsAreRefusedWithoutTakingAnId) {
    const uint64_t before = platform().addOrThrow("x", "{\"i2\":\"before\"}");
    const std::string missingFile = message("Failed to add bucket, missing 'bucket' file");
    const std::string missingAttributes =
        message("Failed, missing 'attributes' data in the bucket add request");
    auto send = [&](const std::vector<rest_test::FormPart>& parts) {
        return platform().service().request("POST", "/bucket", rest_test::multipartBody(parts),
                                            rest_test::multipartHeaders());
    };
    auto answer = send({{"attributes", std::nullopt, "{\"i2\":\"a\"}"}});
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ(missingFile, answer.body);
    answer =
        send({{"bucket", std::string("f"), ""}, {"attributes", std::nullopt, "{\"i2\":\"b\"}"}});
    EXPECT_EQ(missingFile, answer.body);  // a file of no bytes
    answer =
        send({{"bucket", std::nullopt, "data"}, {"attributes", std::nullopt, "{\"i2\":\"c\"}"}});
    EXPECT_EQ(missingFile, answer.body);  // no file name: not a file part
    answer = send({{"bucket", std::string("f"), "data"}});
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ(missingAttributes, answer.body);
    answer = send({{"bucket", std::string("f"), "data"}, {"attributes", std::nullopt, ""}});
    EXPECT_EQ(missingAttributes, answer.body);

    // A body that is no form at all: the reader's reason, whole and as JSON.
    answer = platform().service().request("POST", "/bucket", "{}",
                                          {{"Content-Type", "application/json"}});
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ(0u, answer.body.rfind("{ \"message\" : \"Exception: ", 0)) << answer.body;
    EXPECT_NE("<invalid JSON>", compact(answer.body));
    EXPECT_GT(answer.body.size(), 80u) << "the reason is sent whole";
    EXPECT_EQ("\"}", answer.body.substr(answer.body.size() - 2));

    EXPECT_EQ(before + 1, platform().addOrThrow("x", "{\"i2\":\"after\"}"));
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

TEST_F(BucketAddTest, AttributeRefusalsUseUpTheIdAndRemoveTheFile) {
    const uint64_t before = platform().addOrThrow("x", "{\"r3\":\"before\"}");
    const std::string long81(81, 'n');
    const std::string long80(80, 'n');
    const std::pair<std::string, std::pair<int, std::string>> refusals[] = {
        {"{\"r3\":\"1\"}{\"r3b\":\"2\"}",
         {400, message("Failed to parse the bucket attributes, The document root must not be "
                       "followed by other values.")}},
        {"[]", {400, message("Attributes must be a JSON object")}},
        {"\"text\"", {400, message("Attributes must be a JSON object")}},
        {"{\"r3\":1}",
         {400, message("Attribute values for buckets must be strings. r3 does not have a string "
                       "value")}},
        {"{}", {409, message("A bucket must have at least one attribute")}},
        {"{\"" + long81 + "\":\"v\"}",
         {400, message("Attribute names and values are limited to 80 bytes")}},
        {"{\"r3\":\"" + long81 + "\"}",
         {400, message("Attribute names and values are limited to 80 bytes")}},
    };
    for (const auto& [attributes, expected] : refusals) {
        auto answer = platform().add("payload", attributes);
        EXPECT_EQ(expected.first, answer.status) << attributes;
        EXPECT_EQ(expected.second, answer.body) << attributes;
    }
    const uint64_t after = platform().addOrThrow("x", "{\"" + long80 + "\":\"" + long80 + "\"}");
    EXPECT_EQ(before + 8, after);
    const std::string all = listing();
    for (uint64_t id = before + 1; id < after; ++id) {
        EXPECT_FALSE(fs::exists(platform().bucketPath(id))) << id;
        EXPECT_FALSE(listed(all, id)) << id;
    }
    EXPECT_NE(std::string::npos,
              platform().serviceLog().find("Failed to parse the bucket attributes:, The document "
                                           "root must not be followed by other values."));
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

TEST_F(BucketAddTest, OnlyExactlyTheSameSetIsADuplicate) {
    const uint64_t first = platform().addOrThrow("x", "{\"d4a\":\"1\",\"d4b\":\"2\"}");
    auto answer = platform().add("y", "{\"d4b\":\"2\",\"d4a\":\"1\"}");  // other member order
    EXPECT_EQ(409, answer.status);
    EXPECT_EQ(message("Duplicate bucket"), answer.body);
    EXPECT_FALSE(fs::exists(platform().bucketPath(first + 1)));
    EXPECT_EQ(first + 2, platform().addOrThrow("x", "{\"d4a\":\"1\"}"));        // subset
    platform().addOrThrow("x", "{\"d4a\":\"1\",\"d4b\":\"2\",\"d4c\":\"3\"}");  // superset
    platform().addOrThrow("x", "{\"d4a\":\"1\",\"d4b\":\"3\"}");                // other value
    // A name given twice keeps its last value: the set {d4a=1} exists.
    answer = platform().add("y", "{\"d4a\":\"0\",\"d4a\":\"1\"}");
    EXPECT_EQ(409, answer.status) << answer.body;
}

TEST_F(BucketAddTest, SimultaneousIdenticalCreationsStoreOneBucket) {
    std::vector<int> statuses(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < statuses.size(); ++i) {
        threads.emplace_back(
            [&, i] { statuses[i] = platform().add("same", "{\"c5\":\"same\"}").status; });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), 202));
    EXPECT_EQ(3, std::count(statuses.begin(), statuses.end(), 409));
}

TEST_F(BucketAddTest, SpecialCharactersAreEscapedInAnswersAndAudit) {
    const std::string attributes =
        "{\"q\\\"6\":\"back\\\\slash\",\"nl6\":\"line1\\nline2\",\"ctl6\":\"\\u0001\","
        "\"uni6\":\"\\u00e9\\u20ac\",\"z6\":\"v\"}";
    const uint64_t id = platform().addOrThrow("x", attributes);
    rapidjson::Document document;
    document.Parse(listing().c_str());
    ASSERT_FALSE(document.HasParseError()) << listing();
    const rapidjson::Value* found = nullptr;
    for (const auto& bucket : document["buckets"].GetArray()) {
        if (bucket["bucket"].GetUint64() == id) {
            found = &bucket["attributes"];
        }
    }
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(
        compact("{\"ctl6\":\"\\u0001\",\"nl6\":\"line1\\nline2\",\"q\\\"6\":\"back\\\\slash\","
                "\"uni6\":\"\\u00e9\\u20ac\",\"z6\":\"v\"}"),
        toJson(*found));
    auto audit = platform().auditDetails("BUCAD");
    ASSERT_FALSE(audit.empty());
    EXPECT_EQ(compact("{ \"id\": " + std::to_string(id) + ", \"bucket\" : {" +
                      "\"q\\\"6\" : \"back\\\\slash\", \"nl6\" : \"line1\\nline2\", "
                      "\"ctl6\" : \"\\u0001\", \"uni6\" : \"\\u00e9\\u20ac\", \"z6\" : \"v\" } }"),
              audit.back());
}

TEST_F(BucketAddTest, SaveFailureLeavesNoFileNoRowsAndUsesTheId) {
    const uint64_t before = platform().addOrThrow("x", "{\"f7\":\"before\"}");
    const uint64_t failing = before + 1;
    // Put a plain file where the directory of the next id belongs.
    const std::string directory = platform().storeRoot() + "/" + std::to_string(failing / 100);
    const std::string moved = directory + ".moved";
    const bool existed = fs::exists(directory);
    if (existed) {
        fs::rename(directory, moved);
    }
    { std::ofstream(directory) << "in the way"; }
    auto answer = platform().add("never stored", "{\"f7\":\"failing\"}");
    fs::remove(directory);
    if (existed) {
        fs::rename(moved, directory);
    }
    EXPECT_EQ(500, answer.status);
    EXPECT_EQ(0u, answer.body.rfind("{ \"message\" : \"Exception: ", 0)) << answer.body;
    EXPECT_NE("<invalid JSON>", compact(answer.body));
    EXPECT_FALSE(fs::exists(platform().bucketPath(failing)));
    EXPECT_FALSE(listed(listing(), failing));
    EXPECT_TRUE(platform().uploadLeftovers().empty());
    EXPECT_EQ(before + 2, platform().addOrThrow("x", "{\"f7\":\"failing\"}"));
}

TEST_F(BucketAddTest, WriteFailureRemovesFileAndRowsWithoutAudit) {
    const size_t audits = platform().auditDetails("BUCAD").size();
    const uint64_t before = platform().addOrThrow("x", "{\"w8\":\"before\"}");
    platform().storage().failWhen = [](const std::string& operation, const std::string& table) {
        return operation == "insert" && table == "bucket_attributes";
    };
    auto answer = platform().add("never stored", "{\"w8b\":\"refuse-w8\",\"w8a\":\"ok\"}");
    platform().storage().failWhen = nullptr;
    EXPECT_EQ(500, answer.status);
    EXPECT_EQ(message("Failed to store bucket"), answer.body);
    const std::string id = std::to_string(before + 1);
    for (const char* table : {"buckets", "bucket_attributes"}) {
        for (const auto& row : platform().storage().rows(table)) {
            EXPECT_NE(id, row.at("id")) << table;
        }
    }
    EXPECT_FALSE(fs::exists(platform().bucketPath(before + 1)));
    EXPECT_EQ(audits + 1, platform().auditDetails("BUCAD").size());
    EXPECT_EQ(before + 2, platform().addOrThrow("x", "{\"w8b\":\"stored\",\"w8a\":\"ok\"}"));
}

// The storage committed the addition but its answer was lost: the bucket is
// removed again, and the change feed, which holds the addition's record
// from the same commit, ends the bucket's records with its deletion.
// Its own suite, so the feed it starts records nothing for the others.
class BucketAddFeedTest : public BucketAddTest {};

TEST_F(BucketAddFeedTest, ACommittedAdditionWhoseAnswerWasLostEndsDeletedInTheFeed) {
    ASSERT_TRUE(platform().bucketService().store().feed().start());
    const uint64_t before = platform().addOrThrow("x", "{\"w9\":\"before\"}");
    bool lostOne = false;  // only the addition's commit, not its undoing
    platform().storage().loseAnswerOf = [&lostOne](const std::vector<TableWrite>& writes) {
        const bool lose = !lostOne && !writes.empty() && writes.back().table == "bucket_changes";
        lostOne = lostOne || lose;
        return lose;
    };
    auto answer = platform().add("lost answer", "{\"w9\":\"lost\"}");
    platform().storage().loseAnswerOf = nullptr;
    EXPECT_EQ(500, answer.status) << answer.body;
    const uint64_t lost = before + 1;
    EXPECT_FALSE(listed(listing(), lost));
    EXPECT_FALSE(fs::exists(platform().bucketPath(lost)));
    auto feed = platform().service().request("GET", "/bucket/changes?after=0&limit=10000");
    rapidjson::Document page;
    page.Parse(feed.body.c_str());
    ASSERT_TRUE(page.IsObject() && page.HasMember("changes")) << feed.body;
    std::vector<std::string> ops;
    for (const auto& change : page["changes"].GetArray()) {
        if (change["bucket"].GetUint64() == lost) {
            ops.push_back(change["op"].GetString());
        }
    }
    EXPECT_EQ((std::vector<std::string>{"add", "delete"}), ops);
}

// Parts the addition does not read are dropped while they stream: no
// temporary file appears while they arrive, a data part far above the
// in-memory cap of form fields passes, and the addition goes on as usual.
TEST_F(BucketAddTest, UnreadPartsAreDroppedWhileTheyStream) {
    const std::string file = rest_test::pattern(100000, 9);
    const std::string piece = rest_test::pattern(256 * 1024, 10);
    const size_t pieces = 24;  // 6 MiB per unread part
    const std::string head = partHead("attributes") + "{\"u9\":\"dropped\"}\r\n";
    const std::string unread[] = {partHead("extra", "big.bin"), "\r\n" + partHead("note")};
    const std::string tail =
        "\r\n" + partHead("bucket", "f.bin") + file + "\r\n--" + rest_test::kBoundary + "--\r\n";
    uint64_t length = head.size() + tail.size();
    for (const std::string& opening : unread) {
        length += opening.size() + pieces * piece.size();
    }
    StreamedUpload upload(platform().servicePort(), length);
    ASSERT_TRUE(upload.send(head));
    size_t leftoversSeen = 0;
    for (const std::string& opening : unread) {
        ASSERT_TRUE(upload.send(opening));
        for (size_t i = 0; i < pieces; ++i) {
            ASSERT_TRUE(upload.send(piece));
            leftoversSeen += platform().uploadLeftovers().size();
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    leftoversSeen += platform().uploadLeftovers().size();
    EXPECT_EQ(0u, leftoversSeen) << "an unread part was written to a temporary file";
    ASSERT_TRUE(upload.send(tail));
    const std::string answer = upload.answer();
    ASSERT_EQ(0u, answer.rfind("202 { \"bucket\" : ", 0)) << answer;
    const uint64_t id = std::stoull(answer.substr(answer.find(':') + 2));
    EXPECT_EQ(file, readFile(platform().bucketPath(id)));
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

// Which of two "bucket" (or "attributes") parts is meant cannot be told: the
// form is refused when the second begins, before an id is taken.
TEST_F(BucketAddTest, APartNamedTwiceIsRefusedWithoutTakingAnId) {
    const uint64_t before = platform().addOrThrow("x", "{\"n10\":\"before\"}");
    const std::string attributes = "{\"n10\":\"twice\"}";
    const std::string twoFiles = message(
        "Failed to add bucket, the form holds more than one "
        "'bucket' part");
    const std::string twoAttributes = message(
        "Failed to add bucket, the form holds more than "
        "one 'attributes' part");
    const std::pair<std::vector<rest_test::FormPart>, std::string> forms[] = {
        {{{"bucket", std::string("a"), "one"},
          {"bucket", std::string("b"), "two"},
          {"attributes", std::nullopt, attributes}},
         twoFiles},
        {{{"attributes", std::nullopt, attributes},
          {"bucket", std::nullopt, "no file name"},
          {"bucket", std::string("b"), rest_test::pattern(2000000, 3)}},
         twoFiles},
        {{{"attributes", std::nullopt, attributes},
          {"bucket", std::string("a"), "one"},
          {"attributes", std::nullopt, "{\"n10\":\"other\"}"}},
         twoAttributes},
        {{{"attributes", std::string("a.json"), attributes},
          {"attributes", std::nullopt, attributes},
          {"bucket", std::string("a"), "one"}},
         twoAttributes},
    };
    for (const auto& [parts, expected] : forms) {
        auto answer = platform().service().request(
            "POST", "/bucket", rest_test::multipartBody(parts), rest_test::multipartHeaders());
        EXPECT_EQ(400, answer.status) << expected;
        EXPECT_EQ(expected, answer.body);
    }
    EXPECT_TRUE(platform().uploadLeftovers().empty());
    EXPECT_EQ(before + 1, platform().addOrThrow("x", attributes));
}

// Above maxBucketSize the answer is 413 as soon as the file passes it (the
// rest of the body is never sent here), and nothing remains: no file, no
// temporary file, no row, no id. The size applies from the next upload on.
TEST_F(BucketAddTest, MaxBucketSizeRefusesLargerFilesAtOnce) {
    const uint64_t before = platform().addOrThrow("x", "{\"m11\":\"before\"}");
    setMaxBucketSize("1000000");
    EXPECT_EQ(1000000u, platform().bucketService().maxBucketSize());
    EXPECT_NE(std::string::npos,
              platform().serviceLog().find("Setting the maximum bucket size to 1000000 bytes"));
    EXPECT_EQ(before + 1,
              platform().addOrThrow(std::string(1000000, 'e'), "{\"m11\":\"exactly\"}"));

    const std::string head =
        partHead("attributes") + "{\"m11\":\"large\"}\r\n" + partHead("bucket", "f.bin");
    StreamedUpload upload(platform().servicePort(), head.size() + (64u << 20));
    ASSERT_TRUE(upload.send(head));
    ASSERT_TRUE(upload.send(rest_test::pattern(1000000 + 256 * 1024, 11)));
    EXPECT_EQ("413 " + message("Failed to add bucket, the file exceeds the maximum bucket size "
                               "of 1000000 bytes"),
              upload.answer());
    EXPECT_TRUE(platform().uploadLeftovers().empty());
    for (const auto& row : platform().storage().rows("bucket_attributes")) {
        EXPECT_NE("large", row.at("value"));
    }

    setMaxBucketSize("ten");  // not a size: kept as it was
    EXPECT_EQ(1000000u, platform().bucketService().maxBucketSize());
    EXPECT_EQ(413, platform().add(std::string(1000001, 'l'), "{\"m11\":\"one more\"}").status);
    setMaxBucketSize("0");
    EXPECT_EQ(before + 2,
              platform().addOrThrow(std::string(1000001, 'l'), "{\"m11\":\"unlimited\"}"));
    EXPECT_FALSE(fs::exists(platform().bucketPath(before + 3)));
}

}  // namespace
