// Answers to HEAD: the head of the GET answer of the same path, whatever the
// handler writes, and never a body byte (the next answer on the connection
// starts right after the head).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_util.h"

namespace http::test {
namespace {

class HeadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/http-head-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_file = std::string(dir) + "/data";
        m_content = makeContent(300000, 4);
        int fd = ::open(m_file.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_EQ(::write(fd, m_content.data(), m_content.size()), ssize_t(m_content.size()));
        ::close(fd);
        addRoutes(m_server.server());
        m_port = m_server.start();
    }

    void TearDown() override {
        m_server.stop();
        ::unlink(m_file.c_str());
        ::rmdir(m_file.substr(0, m_file.rfind('/')).c_str());
    }

    void addRoutes(Server& server) {
        server.addRoute("GET", "/text", [](auto response, auto) {
            response->write(StatusCode::success_ok, "some text", {{"X-Kind", "text"}});
        });
        // Raw bytes, the blank line split over two writes, the body streamed.
        server.addRoute("GET", "/raw", [](auto response, auto) {
            *response << "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r";
            *response << "\nabc";
            response->send([response](const boost::system::error_code&) { *response << "def"; });
        });
        server.addRoute("GET", "/file", [this](auto response, auto) {
            int fd = ::open(m_file.c_str(), O_RDONLY);
            response->write(StatusCode::success_ok,
                            {{"Content-Length", std::to_string(m_content.size())}});
            response->sendFile(fd, 0, m_content.size(), [fd, response](auto) { ::close(fd); });
        });
        server.setDefaultRoute("GET", [](auto response, auto request) {
            response->write(StatusCode::client_error_bad_request, "no route for " + request->path);
        });
    }

    // The answer to GET and to HEAD of `path` on one connection, each
    // followed by a GET of /text that must be answered in full.
    void expectHeadOfGet(const std::string& path) {
        RawConnection connection(m_port);
        const std::string next = "GET /text HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_TRUE(connection.send("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n" + "HEAD " +
                                    path + " HTTP/1.1\r\nHost: x\r\n\r\n" + next));
        std::string get = connection.readResponse();
        std::string head = connection.readHead();
        EXPECT_EQ(head, headOf(get)) << path;
        EXPECT_FALSE(head.empty()) << path;
        EXPECT_EQ(bodyOf(connection.readResponse()), "some text") << path;
    }

    TestServer m_server;
    uint16_t m_port = 0;
    std::string m_file;
    std::string m_content;
};

TEST_F(HeadTest, EveryRouteAnswersHeadWithTheHeadOfItsGetAnswer) {
    expectHeadOfGet("/text");
    expectHeadOfGet("/raw");
    expectHeadOfGet("/file");
    expectHeadOfGet("/elsewhere");  // GET's default route
}

TEST_F(HeadTest, UnroutedAndRefusedHeadRequestsGetNoBody) {
    TestServer bare;  // no routes at all: the built-in unsupported-URL answer
    uint16_t port = bare.start();
    RawConnection connection(port);
    ASSERT_TRUE(
        connection.send("HEAD /tarvolt/bucket/4 HTTP/1.1\r\nHost: x\r\n\r\n"
                        "GET /x HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string head = connection.readHead();
    EXPECT_EQ(head.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Length: 50\r\n"), std::string::npos) << head;
    EXPECT_EQ(bodyOf(connection.readResponse()), R"({ "error" : "Unsupported URL: /x" })");

    // An answer of the connection itself (here 414) keeps its body off too.
    RawConnection tooLong(m_port);
    ASSERT_TRUE(tooLong.send("HEAD /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    head = tooLong.readHead();
    EXPECT_EQ(head.rfind("HTTP/1.1 414", 0), 0u) << head;
    EXPECT_TRUE(tooLong.waitForClose());
    bare.stop();
}

}  // namespace
}  // namespace http::test
