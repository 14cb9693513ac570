// Bodies relayed by the core's proxy between a client and a service: byte
// for byte at sizes around the pipe and buffer boundaries, a chunked upload
// of any size as it arrives, exactly
// Content-Length bytes (a request sent right behind a body on the same
// connection stays intact), and a peer that leaves mid-body closes the
// connection on the other side while the core goes on serving.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "management_client.h"
#include "running_core.h"
#include "test_service.h"
#include "test_util.h"

namespace {

using http::test::bodyOf;
using http::test::headOf;
using http::test::RawConnection;

const ManagementClient::ProxyMap kRelayProxies{
    {"GET",
     {{"/tarvolt/test/download/([0-9]+)", "/test/download/([0-9]+)"},
      {"/tarvolt/test/truncated/([0-9]+)", "/test/truncated/([0-9]+)"},
      {"/tarvolt/test/late/([0-9]+)", "/test/late/([0-9]+)"}}},
    {"POST",
     {{"/tarvolt/test/upload", "/test/upload"},
      {"/tarvolt/test/refuse/([0-9]+)", "/test/refuse/([0-9]+)"}}}};

std::string pattern(uint64_t size) {
    std::string bytes(size, '\0');
    for (uint64_t i = 0; i < size; ++i)
        bytes[i] = patternByte(i);
    return bytes;
}

std::string uploadRequest(uint64_t size) {
    return "POST /tarvolt/test/upload HTTP/1.1\r\nHost: core\r\nContent-Length: " +
           std::to_string(size) + "\r\n\r\n";
}

std::string downloadRequest(const std::string& kind, uint64_t size) {
    return "GET /tarvolt/test/" + kind + "/" + std::to_string(size) +
           " HTTP/1.1\r\nHost: core\r\n\r\n";
}

class ProxyRelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_core.ready()) << m_core.log();
        ASSERT_TRUE(m_service.ready());
        ManagementClient client("127.0.0.1", m_core.managementPort());
        ASSERT_TRUE(client.registerService(m_service.record()));
        ASSERT_TRUE(client.addProxy("Test Service", kRelayProxies));
    }

    // The core still forwards after whatever the test did to it.
    void expectCoreServes() {
        auto answer = m_core.api("GET", "/tarvolt/test/download/70000");
        EXPECT_EQ(answer.status, 200);
        EXPECT_TRUE(answer.body == pattern(70000));
    }

    RunningCore m_core;
    TestService m_service{"Test Service"};
};

}  // namespace

TEST_F(ProxyRelayTest, BodiesOfEverySizeArriveByteExactOnOneConnection) {
    const uint64_t sizes[] = {
        0,      1,      4095,   4096,          65535,   65536,         65537,
        131071, 131072, 131073, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, (5 << 20) + 3};
    RawConnection connection(m_core.apiPort());
    for (uint64_t size : sizes) {
        SCOPED_TRACE("body of " + std::to_string(size) + " bytes");
        std::string body = pattern(size);
        // The download request follows the upload's body at once: the relay
        // must take exactly the body and leave the next request to the core.
        ASSERT_TRUE(
            connection.send(uploadRequest(size) + body + downloadRequest("download", size)));
        std::string uploaded = connection.readResponse();
        ASSERT_NE(uploaded.find(" 202 "), std::string::npos) << uploaded;
        rapidjson::Document counted;
        counted.Parse(bodyOf(uploaded).c_str());
        ASSERT_TRUE(counted.IsObject()) << uploaded;
        EXPECT_EQ(counted["bytes"].GetUint64(), size);
        EXPECT_EQ(counted["hash"].GetString(), std::to_string(fnv1a(body.data(), body.size())));

        std::string downloaded = connection.readResponse();
        ASSERT_NE(downloaded.find(" 200 "), std::string::npos) << headOf(downloaded);
        std::string received = bodyOf(downloaded);
        ASSERT_EQ(received.size(), size);
        EXPECT_TRUE(received == body) << "the downloaded bytes differ";
    }
}

// A chunked upload larger than anything the core could hold goes through
// as it arrives, byte exact, while the core's memory stays near where it
// was (the body used to be collected first, up to 64 MiB).
TEST_F(ProxyRelayTest, AChunkedUploadOfAnySizeStreamsThrough) {
    const uint64_t size = (80ull << 20) + 12345;
    const size_t pieces[] = {1 << 20, 65536 + 3, 4093, 1};  // chunk edges move around
    auto upload = m_core.apiClient().open("POST", "/tarvolt/test/upload", {}, std::nullopt);
    const MemoryUse before = memoryOf(m_core.pid());
    std::string piece;
    uint64_t hash = fnv1a(nullptr, 0);
    for (uint64_t offset = 0, turn = 0; offset < size; offset += piece.size(), ++turn) {
        piece.resize(std::min<uint64_t>(pieces[turn % 4], size - offset));
        for (size_t i = 0; i < piece.size(); ++i)
            piece[i] = patternByte(offset + i);
        hash = fnv1a(piece.data(), piece.size(), hash);
        upload->writeBody(piece.data(), piece.size());
    }
    upload->finishBody();
    ASSERT_EQ(upload->readHead().status, 202);
    std::string answer(256, '\0');
    answer.resize(upload->readBody(answer.data(), answer.size()));
    rapidjson::Document counted;
    counted.Parse(answer.c_str());
    ASSERT_TRUE(counted.IsObject()) << answer;
    EXPECT_EQ(counted["bytes"].GetUint64(), size);
    EXPECT_EQ(counted["hash"].GetString(), std::to_string(hash));
    const MemoryUse after = memoryOf(m_core.pid());
    EXPECT_LT(after.peakKiB - before.peakKiB, 32 * 1024) << "the core held the body";
    upload.reset();
    expectCoreServes();
}

// A service that answers before it has the whole body (a refusal) is heard
// at once, whatever the client does meanwhile: its answer reaches the
// client byte exact with "Connection: close", the connection closes after
// it, and the rest of the body is neither read nor passed on. Known-length
// bodies (relayed by splice) and chunked ones (relayed piece by piece), from
// a client that keeps sending and from one that waits with most of the body
// unsent.
TEST_F(ProxyRelayTest, AnEarlyAnswerIsRelayedAtOnce) {
    const uint64_t total = 200ull << 20;
    const std::string piece = pattern(1 << 20);
    const std::string refused = "{ \"message\" : \"Refused at 1000000 bytes\" }";
    for (bool chunked : {false, true}) {
        for (bool keepSending : {true, false}) {
            SCOPED_TRACE(std::string(chunked ? "chunked" : "known length") +
                         (keepSending ? ", client keeps sending" : ", client waits"));
            RawConnection connection(m_core.apiPort());
            ASSERT_TRUE(
                connection.send("POST /tarvolt/test/refuse/1000000 HTTP/1.1\r\nHost: core\r\n" +
                                (chunked ? std::string("Transfer-Encoding: chunked")
                                         : "Content-Length: " + std::to_string(total)) +
                                "\r\n\r\n"));
            const std::string framed = chunked ? "100000\r\n" + piece + "\r\n" : piece;
            std::atomic<bool> answered{false};
            std::atomic<uint64_t> sent{0};
            std::thread sender([&] {
                const uint64_t upTo = keepSending ? total : 3 * piece.size();
                while (sent < upTo && !answered && connection.send(framed))
                    sent += piece.size();
            });
            std::string answer = connection.readResponse();
            answered = true;
            EXPECT_EQ(answer.rfind("HTTP/1.1 409 Conflict\r\n", 0), 0u) << headOf(answer);
            EXPECT_NE(headOf(answer).find("\r\nConnection: close\r\n"), std::string::npos);
            EXPECT_EQ(bodyOf(answer), refused);
            EXPECT_TRUE(connection.waitForClose());
            sender.join();
            EXPECT_LT(sent, total);
        }
    }
    // The service saw little more than what it read before refusing.
    for (const std::string& event : m_service.events()) {
        if (event.rfind("upload abandoned after ", 0) == 0) {
            EXPECT_LT(std::stoull(event.substr(23)), 16ull << 20) << event;
        }
    }
    expectCoreServes();
}

TEST_F(ProxyRelayTest, AClientLeavingMidUploadClosesTheServiceConnection) {
    {
        RawConnection connection(m_core.apiPort());
        ASSERT_TRUE(connection.send(uploadRequest(8 << 20) + pattern(3 << 20)));
    }
    EXPECT_TRUE(m_service.waitForEvent("upload abandoned after"));
    expectCoreServes();
}

TEST_F(ProxyRelayTest, AServiceLeavingMidAnswerClosesTheClientConnection) {
    const uint64_t announced = 3000000;
    RawConnection connection(m_core.apiPort());
    ASSERT_TRUE(connection.send(downloadRequest("truncated", announced)));
    std::string answer = connection.readExactly(announced + 4096);
    ASSERT_NE(answer.find(" 200 "), std::string::npos) << headOf(answer);
    EXPECT_NE(headOf(answer).find("Content-Length: 3000000"), std::string::npos);
    std::string received = bodyOf(answer);
    EXPECT_EQ(received.size(), announced / 2);
    EXPECT_TRUE(received == pattern(received.size()));
    EXPECT_TRUE(connection.waitForClose());
    expectCoreServes();
}

TEST_F(ProxyRelayTest, AClientLeavingMidDownloadLeavesTheCoreServing) {
    {
        RawConnection connection(m_core.apiPort());
        ASSERT_TRUE(connection.send(downloadRequest("download", 64 << 20)));
        EXPECT_EQ(connection.readExactly(1 << 20).size(), size_t(1) << 20);
    }
    expectCoreServes();
    // The service's next answer through the same relay path is whole.
    RawConnection again(m_core.apiPort());
    ASSERT_TRUE(again.send(downloadRequest("download", 3 << 20)));
    EXPECT_TRUE(bodyOf(again.readResponse()) == pattern(3 << 20));
}

TEST_F(ProxyRelayTest, HeadIsForwardedAsTheHeadOfTheGetAnswer) {
    RawConnection connection(m_core.apiPort());
    const std::string head = "HEAD /tarvolt/test/download/70000 HTTP/1.1\r\nHost: core\r\n\r\n";
    ASSERT_TRUE(connection.send(downloadRequest("download", 70000) + head +
                                "HEAD /tarvolt/none HTTP/1.1\r\nHost: core\r\n\r\n" +
                                downloadRequest("download", 5)));
    std::string get = connection.readResponse();
    ASSERT_NE(get.find(" 200 "), std::string::npos) << headOf(get);
    EXPECT_EQ(connection.readHead(), headOf(get));
    std::string unrouted = connection.readHead();
    EXPECT_EQ(unrouted.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << unrouted;
    // No body came after either head: the next answer is the small download.
    EXPECT_TRUE(bodyOf(connection.readResponse()) == pattern(5));
}

// Slow transfers hold no loop thread of the core: while 16 clients download
// 1 GiB each and stop reading, and 8 answers come late (head and body each
// after a pause), more than the core's loop threads, other requests through
// the core and the core's own API still answer, and the late answers arrive
// whole.
TEST_F(ProxyRelayTest, SlowTransfersLeaveTheCoreAnswering) {
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(std::make_unique<RawConnection>(m_core.apiPort()));
        ASSERT_TRUE(slow.back()->send(downloadRequest("download", 1ull << 30)));
        ASSERT_EQ(slow.back()->readExactly(1 << 20).size(), size_t(1) << 20);
    }
    std::vector<std::unique_ptr<RawConnection>> late;
    for (int i = 0; i < 8; ++i) {
        late.push_back(std::make_unique<RawConnection>(m_core.apiPort()));
        ASSERT_TRUE(
            late.back()->send("GET /tarvolt/test/late/6000 HTTP/1.1\r\nHost: core\r\n\r\n"));
    }
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(m_core.api("GET", "/tarvolt/service").status, 200);
    expectCoreServes();
    // The late answers take 3 s to start; a core whose loops waited on
    // them would answer only after that.
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(2500));
    const std::string body = "4\r\nlate\r\n0\r\n\r\n";
    for (auto& connection : late) {
        std::string head = connection->readHead();
        EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
        EXPECT_NE(head.find("Transfer-Encoding: chunked"), std::string::npos) << head;
        EXPECT_EQ(connection->readExactly(body.size()), body);
    }
}
