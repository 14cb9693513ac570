// The synchronous client: keep-alive reuse, retry, timeouts and streamed
// exchanges.
#include <gtest/gtest.h>

#include "http/client.h"
#include "test_util.h"

namespace http::test {
namespace {

TEST(ClientTest, RequestRoundTrip) {
    TestServer server;
    server.server().addRoute("POST", "/echo", [](auto response, std::shared_ptr<Request> request) {
        response->write(StatusCode::success_accepted, request->content,
                        {{"X-Method", request->method}});
    });
    uint16_t port = server.start();
    Client client("localhost", port);
    ClientResponse answer = client.request("POST", "/echo", "payload");
    EXPECT_EQ(answer.status, 202);
    EXPECT_EQ(answer.reason, "Accepted");
    EXPECT_EQ(answer.body, "payload");
    EXPECT_EQ(headerValue(answer.header, "x-method"), "POST");
}

}  // namespace
}  // namespace http::test
