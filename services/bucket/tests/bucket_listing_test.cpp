// The unpaged listing streamed a page at a time: the same bytes as the
// whole answer built at once, and a cut body when the store fails midway.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>

#include "bucket_paging.h"
#include "bucket_service.h"
#include "bucket_text.h"
#include "handler_platform.h"

namespace {

using rest_test::HandlerTest;

// The bytes of one exchange over a plain socket, read until the server
// closes the connection.
std::string exchange(uint16_t port, const std::string& method) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        throw std::runtime_error("cannot connect to the bucket service");
    }
    const std::string head =
        method + " /bucket HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    std::string received;
    char buffer[65536];
    pollfd ready{fd, POLLIN, 0};
    while (poll(&ready, 1, 20000) == 1) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return received;
}

// A chunked body taken apart: its bytes, and whether the terminating chunk
// ended it.
struct Chunked {
    std::string body;
    bool complete = false;
};

Chunked decode(const std::string& body) {
    Chunked result;
    size_t at = 0;
    while (at < body.size()) {
        const size_t line = body.find("\r\n", at);
        if (line == std::string::npos) {
            break;
        }
        const size_t size = std::stoul(body.substr(at, line - at), nullptr, 16);
        if (size == 0) {
            result.complete = body.compare(line, 4, "\r\n\r\n") == 0 && line + 4 == body.size();
            break;
        }
        if (line + 2 + size + 2 > body.size()) {
            break;
        }
        result.body += body.substr(line + 2, size);
        at = line + 2 + size + 2;
    }
    return result;
}

class BucketListingTest : public HandlerTest {
  protected:
    void TearDown() override { platform().storage().failWhen = nullptr; }

    // The listing as the store's whole listing gives it.
    std::string wholeListing() {
        std::optional<BucketStore::Records> all = platform().bucketService().store().getAll();
        EXPECT_TRUE(all.has_value());
        return "{ \"buckets\" : [" + bucket_text::bucketObjects(*all) + "] }";
    }

    // Stores buckets `first` to `last` directly, with attributes that need
    // escapes in JSON; with `bare`, every seventh has none.
    void storeBuckets(uint64_t first, uint64_t last, bool bare) {
        for (uint64_t id = first; id <= last; id++) {
            const std::string text = std::to_string(id);
            platform().storage().addRow("buckets",
                                        {{"id", text}, {"filename", platform().bucketPath(id)}});
            if (bare && id % 7 == 0) {
                continue;  // some buckets without attribute rows
            }
            platform().storage().addRow(
                "bucket_attributes",
                {{"id", text}, {"name", "q\"uote"}, {"value", "a\\b\t" + text}});
            platform().storage().addRow(
                "bucket_attributes",
                {{"id", text}, {"name", "name"}, {"value", "\xc3\xbc/" + text}});
        }
    }

    void expectStreamedAsWhole(const std::string& what) {
        const std::string reply = exchange(platform().servicePort(), "GET");
        const size_t head = reply.find("\r\n\r\n");
        ASSERT_NE(std::string::npos, head) << what;
        EXPECT_EQ(0u, reply.find("HTTP/1.1 200 OK\r\n")) << what;
        EXPECT_NE(std::string::npos, reply.find("Transfer-Encoding: chunked\r\n")) << what;
        EXPECT_NE(std::string::npos, reply.find("Content-type: application/json\r\n")) << what;
        EXPECT_EQ(std::string::npos, reply.substr(0, head).find("Content-Length")) << what;
        const Chunked body = decode(reply.substr(head + 4));
        EXPECT_TRUE(body.complete) << what;
        EXPECT_EQ(wholeListing(), body.body) << what;
    }
};

TEST_F(BucketListingTest, StreamsTheSameBytesAsTheWholeListingForEveryStoreSize) {
    expectStreamedAsWhole("no bucket");
    const uint64_t id = platform().addOrThrow("one", "{\"a\":\"1\"}");
    expectStreamedAsWhole("one bucket");
    storeBuckets(id + 1, id + 2 * bucket_paging::kStreamPage + 500, true);
    expectStreamedAsWhole("several pages");
    EXPECT_EQ(wholeListing(), platform().service().request("GET", "/bucket").body);

    const std::string head = exchange(platform().servicePort(), "HEAD");
    EXPECT_EQ(0u, head.find("HTTP/1.1 200 OK\r\n"));
    EXPECT_NE(std::string::npos, head.find("Transfer-Encoding: chunked\r\n"));
    EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4) << "a HEAD answer has no body";
}

// A suite of its own, so its store holds only what it stores: each page is
// then one read of "buckets".
class BucketListingFailureTest : public BucketListingTest {};

TEST_F(BucketListingFailureTest, AStoreFailureAfterTheFirstPageCutsTheBodyShort) {
    storeBuckets(1, 3 * bucket_paging::kStreamPage, false);
    std::atomic<int> reads{0};
    platform().storage().failWhen = [&reads](const std::string& operation,
                                             const std::string& table) {
        return operation == "query" && table == "buckets" && ++reads == 2;
    };
    const std::string reply = exchange(platform().servicePort(), "GET");
    platform().storage().failWhen = nullptr;
    ASSERT_EQ(0u, reply.find("HTTP/1.1 200 OK\r\n"));
    const Chunked body = decode(reply.substr(reply.find("\r\n\r\n") + 4));
    EXPECT_FALSE(body.complete) << "a cut listing must not end like a whole one";
    EXPECT_EQ(0u, body.body.find("{ \"buckets\" : [{ \"bucket\" : "));
    EXPECT_EQ(std::string::npos, body.body.find("] }"));
    EXPECT_NE(std::string::npos, platform().serviceLog().find("streamed answer was cut short"));

    // The first page failing comes before the head: a plain 500.
    platform().storage().failWhen = [](const std::string& operation, const std::string& table) {
        return operation == "query" && table == "buckets";
    };
    const std::string refused = exchange(platform().servicePort(), "GET");
    EXPECT_EQ(0u, refused.find("HTTP/1.1 500 Internal Server Error\r\n")) << refused;
    EXPECT_NE(std::string::npos, refused.find("Storage service unavailable"));
}

}  // namespace
