// The file facts against the real platform, on the service's port and
// through the core: an upload's name, type and sha256 sent back as
// Content-Disposition and Repr-Digest beside the validators on GET and
// HEAD, shown by /info, and a bad name refused on both ports.
#include <string>
#include <vector>

#include "rest_platform.h"

using rest_test::RestTest;

namespace {

// SHA-256 of "abc" (FIPS 180-2), in hexadecimal and as RFC 9530 gives it.
const char* const kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char* const kAbcDigest = "sha-256=:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=:";

class BucketFactsHttpTest : public RestTest {
  protected:
    static http::ClientResponse upload(http::Client& client, const std::string& target,
                                       const std::string& filename, const std::string& tag) {
        const std::vector<rest_test::FormPart> parts{
            {"sha256", std::nullopt, kAbcSha256},
            {"bucket", filename, "abc", "text/plain"},
            {"attributes", std::nullopt, "{\"facts\":\"" + tag + "\"}"}};
        return client.request("POST", target, rest_test::multipartBody(parts),
                              rest_test::multipartHeaders());
    }
};

TEST_F(BucketFactsHttpTest, EveryDownloadSaysWhatTheFileIsOnBothPorts) {
    auto added = upload(platform().core(), "/tarvolt/bucket", "n\xc3\xa4me.txt", "kept");
    ASSERT_EQ(202, added.status) << added.body;
    const std::string id =
        added.body.substr(std::string("{ \"bucket\" : ").size(), added.body.size() - 15);
    const std::string disposition =
        "attachment; filename=\"n_me.txt\"; filename*=UTF-8''n%C3%A4me.txt";
    const std::vector<std::pair<http::Client*, std::string>> ports{
        {&platform().service(), ""}, {&platform().core(), "/tarvolt"}};
    for (auto [client, prefix] : ports) {
        for (const char* method : {"GET", "HEAD"}) {
            auto answer = client->request(method, prefix + "/bucket/" + id);
            const std::string where = prefix + " " + method;
            EXPECT_EQ(200, answer.status) << where;
            EXPECT_EQ(disposition, http::headerValue(answer.header, "Content-Disposition"))
                << where;
            EXPECT_EQ(kAbcDigest, http::headerValue(answer.header, "Repr-Digest")) << where;
            EXPECT_EQ("application/octet-stream", http::headerValue(answer.header, "Content-Type"))
                << where;
            EXPECT_EQ("bytes", http::headerValue(answer.header, "Accept-Ranges")) << where;
            EXPECT_FALSE(http::headerValue(answer.header, "ETag").empty()) << where;
            EXPECT_FALSE(http::headerValue(answer.header, "Last-Modified").empty()) << where;
        }
        const std::string info = client->request("GET", prefix + "/bucket/" + id + "/info").body;
        EXPECT_NE(
            std::string::npos,
            info.find("\", \"name\" : \"n\xc3\xa4me.txt\", \"type\" : \"text/plain\", "
                      "\"sha256\" : \"" +
                      std::string(kAbcSha256) + "\", \"attributes\" : { \"facts\" : \"kept\"} }"))
            << prefix << ": " << info;

        auto refused = upload(*client, prefix + "/bucket", "../x.txt", "refused");
        EXPECT_EQ(400, refused.status) << prefix;
        EXPECT_EQ("{ \"message\" : \"Failed to add bucket, the file name has a path part\" }",
                  refused.body)
            << prefix;
    }
}

}  // namespace
