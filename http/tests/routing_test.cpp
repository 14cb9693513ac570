// Route selection, the unsupported-URL answer, and the formatting of status
// writes and status texts.
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>
#include <boost/system/error_code.hpp>

#include "http/client.h"
#include "test_util.h"

namespace http::test {
namespace {

// Answers with a text naming the route and what the request carried.
Handler echo(const std::string& name) {
    return [name](std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
        std::string text = name + "|" + request->path + "|" + request->queryString;
        for (size_t i = 1; i < request->pathMatch.size(); ++i) {
            text += "|" + request->pathMatch[i];
        }
        response->write(StatusCode::success_ok, text);
    };
}

class RoutingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Server& server = m_server.server();
        server.setDefaultRoute("GET", echo("default-get"));
        server.addRoute("GET", "/bucket", echo("all"));
        server.addRoute("GET", "/bucket/([0-9][0-9]*)$", echo("one"));
        server.addRoute("PUT", "/bucket/match", echo("match"));
        server.addRoute("GET", "/bomb/(a*)*b", echo("bomb"));
        m_port = m_server.start();
    }

    TestServer m_server;
    uint16_t m_port = 0;
};

TEST_F(RoutingTest, PatternsMatchTheWholePathWithoutTheQuery) {
    Client client("127.0.0.1", m_port);
    EXPECT_EQ(client.request("GET", "/bucket").body, "all|/bucket|");
    EXPECT_EQ(client.request("GET", "/bucket?x=1&y=%41").body, "all|/bucket|x=1&y=%41");
    EXPECT_EQ(client.request("GET", "/bucket/007").body, "one|/bucket/007||007");
    EXPECT_EQ(client.request("PUT", "/bucket/match").body, "match|/bucket/match|");
    // Partial matches do not count: these fall through to GET's default route.
    EXPECT_EQ(client.request("GET", "/bucket/").body, "default-get|/bucket/|");
    EXPECT_EQ(client.request("GET", "/bucket/12a").body, "default-get|/bucket/12a|");
    EXPECT_EQ(client.request("GET", "/x/bucket").body, "default-get|/x/bucket|");
    std::string digits(8000, '7');
    EXPECT_EQ(client.request("GET", "/bucket/" + digits).body,
              "one|/bucket/" + digits + "||" + digits);
}

// Patterns are matched in linear time: a pattern that backtracks
// exponentially in a backtracking engine, and paths far beyond the old 8 KiB
// cap, are answered at once.
TEST_F(RoutingTest, BacktrackingPatternsAndLongPathsMatchInLinearTime) {
    Client client("127.0.0.1", m_port);
    const std::string as(30000, 'a');
    EXPECT_EQ(client.request("GET", "/bomb/" + as).body, "default-get|/bomb/" + as + "|");
    EXPECT_EQ(client.request("GET", "/bomb/" + as + "b").body.rfind("bomb|/bomb/" + as + "b|", 0),
              0u);
    const std::string digits(40000, '7');
    EXPECT_EQ(client.request("GET", "/bucket/" + digits).body,
              "one|/bucket/" + digits + "||" + digits);
    Server unstarted(ServerConfig{});
    EXPECT_THROW(unstarted.addRoute("GET", "/(unclosed", echo("x")), std::invalid_argument);
}

TEST_F(RoutingTest, UnroutedRequestsGet400WithTheEscapedPath) {
    RawConnection connection(m_port);
    // PUT has no default route; the connection stays usable afterwards.
    ASSERT_TRUE(
        connection.send("PUT /bucket/5 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"));
    std::string answer = connection.readResponse();
    EXPECT_EQ(headOf(answer).rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("Content-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(answer), R"({ "error" : "Unsupported URL: /bucket/5" })");

    ASSERT_TRUE(connection.send("PATCH /a\"b\\c HTTP/1.1\r\nHost: x\r\n\r\n"));
    answer = connection.readResponse();
    EXPECT_EQ(bodyOf(answer), R"({ "error" : "Unsupported URL: /a\"b\\c" })");

    ASSERT_TRUE(connection.send("GET /bucket HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(bodyOf(connection.readResponse()), "all|/bucket|");
}

TEST(RouterTest, QueryParametersAreDecoded) {
    Request request;
    request.queryString = "a=1&name=hello%20world&plus=a+b&flag&bad=%zz&mixed=a%41%zz+%2B%4";
    EXPECT_EQ(request.queryParameter("a"), "1");
    EXPECT_EQ(request.queryParameter("name"), "hello world");
    EXPECT_EQ(request.queryParameter("plus"), "a b");
    EXPECT_EQ(request.queryParameter("flag", "x"), "");
    EXPECT_EQ(request.queryParameter("bad"), "%zz");
    EXPECT_EQ(request.queryParameter("mixed"), "aA%zz +%4");
    EXPECT_EQ(request.queryParameter("missing", "fallback"), "fallback");
}

// A Response that keeps what is written, to check the status writers.
class CapturingResponse : public Response {
  public:
    using Response::write;
    void write(const char* data, size_t size) override { bytes.append(data, size); }
    void send(SendCallback callback) override { callback({}); }
    size_t pendingBytes() const override { return bytes.size(); }
    void closeConnectionAfterResponse() override {}
    std::string bytes;
};

TEST(ResponseFormatTest, StatusLinesAndTexts) {
    CapturingResponse plain;
    plain.write(StatusCode::client_error_bad_request, "Could not read bucket content/x");
    EXPECT_EQ(
        plain.bytes,
        "HTTP/1.1 400 Bad Request\r\nContent-Length: 31\r\n\r\nCould not read bucket content/x");

    CapturingResponse withLength;
    withLength.write(StatusCode::success_ok,
                     {{"Content-Length", "5"}, {"Content-Type", "application/octet-stream"}});
    withLength << "hello";
    EXPECT_EQ(withLength.bytes,
              "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Type: "
              "application/octet-stream\r\n\r\nhello");

    // Fields that would split the message are left out.
    CapturingResponse unsafe;
    unsafe.write(StatusCode::success_ok, "",
                 {{"Xbad name", "v"}, {"Xgood", "a\r\nInjected: 1"}, {"Xok", "fine"}});
    EXPECT_EQ(unsafe.bytes, "HTTP/1.1 200 OK\r\nXok: fine\r\nContent-Length: 0\r\n\r\n");

    EXPECT_EQ(statusText(200), "200 OK");
    EXPECT_EQ(statusText(StatusCode::success_accepted), "202 Accepted");
    EXPECT_EQ(statusText(409), "409 Conflict");
    EXPECT_EQ(statusText(413), "413 Payload Too Large");
    EXPECT_EQ(statusText(500), "500 Internal Server Error");
    EXPECT_EQ(statusText(503), "503 Service Unavailable");
    EXPECT_EQ(statusText(299), "");
    CapturingResponse unknown;
    unknown.write(static_cast<StatusCode>(299), "");
    EXPECT_EQ(unknown.bytes, "HTTP/1.1 299 \r\nContent-Length: 0\r\n\r\n");
}

TEST(ResponseFormatTest, BaseSendFileReadsTheRange) {
    char path[] = "/tmp/http-sendfile-XXXXXX";
    int fd = ::mkstemp(path);
    std::string content = makeContent(300000, 2);
    ASSERT_EQ(::write(fd, content.data(), content.size()), ssize_t(content.size()));
    CapturingResponse response;
    auto outcome = boost::system::errc::make_error_code(boost::system::errc::operation_in_progress);
    response.sendFile(fd, 10, 200000, [&](const boost::system::error_code& ec) { outcome = ec; });
    EXPECT_FALSE(outcome);
    EXPECT_TRUE(response.bytes == content.substr(10, 200000));
    response.sendFile(fd, 299999, 2, [&](const boost::system::error_code& ec) { outcome = ec; });
    EXPECT_TRUE(outcome);  // the file ended early
    ::close(fd);
    ::unlink(path);
}

}  // namespace
}  // namespace http::test
