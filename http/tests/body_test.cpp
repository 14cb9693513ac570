// Request bodies: buffered with a cap, streamed to a body sink, chunked,
// and announced with Expect: 100-continue.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "http/client.h"
#include "test_util.h"

namespace http::test {
namespace {

// Sinks destroyed before their body was complete.
std::atomic<int> g_droppedSinks{0};

// Collects what the server feeds it; can be told to fail.
struct RecordingSink : BodySink {
    ~RecordingSink() override {
        if (!completed && failAfter == 0) {
            ++g_droppedSinks;
        }
    }
    void onData(const char* data, size_t size) override {
        if (failAfter && bytes.size() + size > failAfter) {
            throw std::runtime_error("disk full");
        }
        bytes.append(data, size);
        ++calls;
    }
    void onComplete() override { completed = true; }

    size_t failAfter = 0;  // 0: never
    std::string bytes;
    size_t calls = 0;
    bool completed = false;
};

class BodyTest : public ::testing::Test {
  protected:
    BodyTest() : m_server(config()) {}

    static ServerConfig config() {
        ServerConfig c = TestServer::defaultConfig();
        c.maxBufferedBody = 1 << 20;
        return c;
    }

    void SetUp() override {
        Server& server = m_server.server();
        server.addRoute("POST", "/buffered", [](auto response, std::shared_ptr<Request> request) {
            response->write(StatusCode::success_ok, request->content);
        });
        server.addRoute(
            "POST", "/sink",
            [this](auto response, std::shared_ptr<Request> request) {
                auto sink = std::static_pointer_cast<RecordingSink>(request->bodySink);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_lastSink = sink;
                m_lastError = request->bodySinkError;
                std::string answer = request->bodySinkError.empty()
                                         ? std::to_string(sink->bytes.size())
                                         : "error: " + request->bodySinkError;
                response->write(StatusCode::success_ok, answer + "|" + request->content);
            },
            [this](const Request& request) {
                auto sink = std::make_shared<RecordingSink>();
                if (request.queryString == "fail") {
                    sink->failAfter = 100000;
                }
                return sink;
            });
        m_port = m_server.start();
    }

    std::shared_ptr<RecordingSink> lastSink() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastSink;
    }

    TestServer m_server;
    uint16_t m_port = 0;
    std::mutex m_mutex;
    std::shared_ptr<RecordingSink> m_lastSink;
    std::string m_lastError;
};

TEST_F(BodyTest, BufferedBodiesPlainAndChunked) {
    Client client("127.0.0.1", m_port);
    std::string body = makeContent(700000, 3);
    EXPECT_TRUE(client.request("POST", "/buffered", body).body == body);

    RawConnection connection(m_port);
    ASSERT_TRUE(
        connection.send("POST /buffered HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                        chunked(body, 70001)));
    EXPECT_TRUE(bodyOf(connection.readResponse()) == body);
    ASSERT_TRUE(connection.send("POST /buffered HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ(bodyOf(connection.readResponse()), "");
}

// Chunked framing split at every possible place: the body is sent a few
// bytes per write, with chunk extensions and a trailer, and a second request
// follows in the same write as the last chunk. Broken framing answers 400.
TEST_F(BodyTest, ChunkedFramingInAnyPiecesAndBrokenFraming) {
    const std::string body = makeContent(3000, 6);
    std::string rest = chunked(body.substr(5), 997);
    rest.resize(rest.size() - 5);  // without the last chunk "0\r\n\r\n"
    const std::string framed =
        "5;name=value\r\n" + body.substr(0, 5) + "\r\n" + rest + "0\r\nX-Trailer: yes\r\n\r\n";
    for (const char* path : {"/buffered", "/sink"}) {
        SCOPED_TRACE(path);
        RawConnection connection(m_port);
        std::string request = std::string("POST ") + path +
                              " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                              framed +
                              "POST /buffered HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nok";
        for (size_t at = 0, step = 1; at < request.size(); at += step, step = step % 7 + 1) {
            ASSERT_TRUE(connection.send(request.substr(at, step)));
            if (at % 5 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        std::string expected =
            std::string(path) == "/sink" ? std::to_string(body.size()) + "|" : body;
        EXPECT_TRUE(bodyOf(connection.readResponse()) == expected);
        EXPECT_EQ(bodyOf(connection.readResponse()), "ok");
    }
    const std::string endless = "1" + std::string(2 << 20, '0');  // a chunk-size line without end
    for (const std::string& broken :
         {std::string("zz\r\nabc\r\n0\r\n\r\n"), std::string("3\r\nabcXX0\r\n\r\n"), endless}) {
        for (const char* path : {"/buffered", "/sink"}) {
            RawConnection connection(m_port);
            connection.send(std::string("POST ") + path +
                            " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + broken);
            std::string answer = connection.readResponse();
            EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << path << " " << answer;
            EXPECT_NE(bodyOf(answer).find("Malformed request body"), std::string::npos) << answer;
        }
    }
}

TEST_F(BodyTest, BodiesAboveTheCapGet413) {
    std::string tooBig = makeContent((1 << 20) + 1, 4);
    RawConnection announced(m_port);
    ASSERT_TRUE(announced.send("POST /buffered HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                               std::to_string(tooBig.size()) + "\r\n\r\n"));
    std::string answer = announced.readResponse();
    EXPECT_EQ(answer.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("application/json"), std::string::npos);
    EXPECT_TRUE(announced.waitForClose());

    RawConnection streamed(m_port);
    streamed.send("POST /buffered HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                  chunked(tooBig, 65536));
    EXPECT_EQ(streamed.readResponse().rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u);
}

TEST_F(BodyTest, SinkReceivesLargeBodiesExactly) {
    std::string body = makeContent(5 * 1048576 + 5, 5);  // far above the buffered cap
    Client client("127.0.0.1", m_port);
    ClientResponse answer = client.request("POST", "/sink", body);
    EXPECT_EQ(answer.body, std::to_string(body.size()) + "|");
    auto sink = lastSink();
    ASSERT_TRUE(sink);
    EXPECT_TRUE(sink->bytes == body);
    EXPECT_TRUE(sink->completed);
    EXPECT_GT(sink->calls, 1u);

    RawConnection connection(m_port);
    ASSERT_TRUE(
        connection.send("POST /sink HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                        chunked(body, 100003)));
    EXPECT_EQ(bodyOf(connection.readResponse()), std::to_string(body.size()) + "|");
    sink = lastSink();
    EXPECT_TRUE(sink->bytes == body);
    EXPECT_TRUE(sink->completed);
}

TEST_F(BodyTest, FailingSinkIsReportedToTheHandler) {
    std::string body = makeContent(3 * 1048576, 6);
    Client client("127.0.0.1", m_port);
    EXPECT_EQ(client.request("POST", "/sink?fail", body).body, "error: disk full|");
    auto sink = lastSink();
    EXPECT_FALSE(sink->completed);
    EXPECT_LE(sink->bytes.size(), 100000u);
    // A new connection is served as usual.
    EXPECT_EQ(client.request("POST", "/buffered", "next").body, "next");
}

// Once the sink refused the body the answer is known: it comes without the
// rest of the body (which may be huge, or never end), then the connection
// closes. The server used to read and discard the rest first, so a client
// announcing 1 GiB, or sending chunks for ever, got no answer.
TEST_F(BodyTest, RefusedBodyIsAnsweredWithoutReadingTheRest) {
    // More than one read of the server (1 MiB), so the sink sees the bytes.
    const std::string part = makeContent(3 << 19, 7);
    RawConnection announced(m_port);
    ASSERT_TRUE(announced.send(
        "POST /sink?fail HTTP/1.1\r\nHost: x\r\nContent-Length: 1073741824\r\n\r\n" + part));
    std::string answer = announced.readResponse();
    EXPECT_EQ(bodyOf(answer), "error: disk full|");
    // A keep-alive client must learn that the connection ends here, or it
    // sends its next request into a closing connection.
    EXPECT_NE(headOf(answer).find("\r\nConnection: close\r\n"), std::string::npos) << answer;
    EXPECT_TRUE(announced.waitForClose());

    RawConnection endless(m_port);
    std::string chunks = chunked(part, 65536);
    chunks.resize(chunks.size() - 5);  // without the last chunk "0\r\n\r\n"
    ASSERT_TRUE(endless.send(
        "POST /sink?fail HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks));
    EXPECT_EQ(bodyOf(endless.readResponse()), "error: disk full|");
    EXPECT_TRUE(endless.waitForClose());
}

TEST_F(BodyTest, SinkIsDroppedWhenTheClientGoesAway) {
    int droppedBefore = g_droppedSinks;
    {
        RawConnection connection(m_port);
        ASSERT_TRUE(
            connection.send("POST /sink HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n" +
                            makeContent(300000, 9)));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_droppedSinks == droppedBefore && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(g_droppedSinks, droppedBefore + 1);
    EXPECT_FALSE(lastSink());  // the handler never ran
}

TEST_F(BodyTest, ExpectContinueIsAnsweredBeforeTheBody) {
    RawConnection connection(m_port);
    ASSERT_TRUE(connection.send(
        "POST /buffered HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n"));
    EXPECT_EQ(connection.readExactly(25), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(connection.send("hello"));
    EXPECT_EQ(bodyOf(connection.readResponse()), "hello");

    // A body that is too large is refused without 100 Continue.
    ASSERT_TRUE(
        connection.send("POST /buffered HTTP/1.1\r\nHost: x\r\nExpect: "
                        "100-continue\r\nContent-Length: 99999999\r\n\r\n"));
    EXPECT_EQ(connection.readResponse().rfind("HTTP/1.1 413 ", 0), 0u);
}

}  // namespace
}  // namespace http::test
