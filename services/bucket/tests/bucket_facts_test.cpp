// The file facts of a bucket against the bucket service in this process:
// the name, media type and sha256 of the upload kept in "bucket_files",
// sent as Content-Disposition and Repr-Digest on every download and shown
// by /info; the names refused at upload; a replacement and a deletion
// keeping the row exact; a bucket stored without facts answered as before.
#include <string>
#include <vector>

#include "bucket_schema.h"
#include "handler_platform.h"

using rest_test::FormPart;
using rest_test::HandlerTest;

namespace {

// SHA-256 of "abc" (FIPS 180-2), in hexadecimal and as RFC 9530 gives it.
const char* const kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char* const kAbcDigest = "sha-256=:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=:";

class BucketFactsTest : public HandlerTest {
  protected:
    // Uploads "abc" as `filename` with `type` (none when empty) and the
    // attribute f=`tag`, with the sha256 part when `digest` is set.
    static http::ClientResponse upload(const std::string& filename, const std::string& type,
                                       const std::string& tag, bool digest = false) {
        std::vector<FormPart> parts;
        if (digest) {
            parts.push_back({"sha256", std::nullopt, kAbcSha256});
        }
        parts.push_back({"bucket", filename, "abc", type});
        parts.push_back({"attributes", std::nullopt, "{\"f\":\"" + tag + "\"}"});
        return platform().service().request("POST", "/bucket", rest_test::multipartBody(parts),
                                            rest_test::multipartHeaders());
    }

    static uint64_t idOf(const http::ClientResponse& answer) {
        EXPECT_EQ(202, answer.status) << answer.body;
        const std::string prefix = "{ \"bucket\" : ";
        return std::stoull(answer.body.substr(prefix.size()));
    }

    static std::vector<FakeStorageClient::Row> factRows(uint64_t id) {
        std::vector<FakeStorageClient::Row> rows;
        for (auto& row : platform().storage().rows(bucket_schema::kFiles)) {
            if (row["id"] == std::to_string(id)) {
                rows.push_back(row);
            }
        }
        return rows;
    }

    // The /info body up to its "etag" member's end, and what follows it.
    static std::string infoAfterEtag(uint64_t id) {
        const std::string body =
            platform().service().request("GET", "/bucket/" + std::to_string(id) + "/info").body;
        const size_t etag = body.find("\"etag\" : \"");
        const size_t end = body.find("\"", body.find("\\\"", etag + 12) + 2);
        return etag == std::string::npos ? "<no etag in " + body + ">" : body.substr(end + 1);
    }
};

TEST_F(BucketFactsTest, DownloadsSayWhatTheFileIsOnEveryAnswer) {
    const std::string name = "r\xc3\xa9sum\xc3\xa9 \"1\"%.pdf";
    const uint64_t id = idOf(upload(name, "application/pdf", "said", true));
    const std::string path = "/bucket/" + std::to_string(id);
    const std::string disposition =
        "attachment; filename=\"r_sum_ _1__.pdf\"; "
        "filename*=UTF-8''r%C3%A9sum%C3%A9%20%221%22%25.pdf";
    for (const char* method : {"GET", "HEAD"}) {
        auto answer = platform().service().request(method, path);
        EXPECT_EQ(200, answer.status) << method;
        EXPECT_EQ(disposition, http::headerValue(answer.header, "Content-Disposition")) << method;
        EXPECT_EQ(kAbcDigest, http::headerValue(answer.header, "Repr-Digest")) << method;
        EXPECT_EQ("application/octet-stream", http::headerValue(answer.header, "Content-Type"));
    }
    auto ranged = platform().service().request("GET", path, "", {{"Range", "bytes=1-1"}});
    EXPECT_EQ(206, ranged.status);
    EXPECT_EQ("b", ranged.body);
    EXPECT_EQ(disposition, http::headerValue(ranged.header, "Content-Disposition"));
    EXPECT_EQ(kAbcDigest, http::headerValue(ranged.header, "Repr-Digest")) << "of the whole file";
    EXPECT_EQ(
        ", \"name\" : \"r\xc3\xa9sum\xc3\xa9 \\\"1\\\"%.pdf\", \"type\" : "
        "\"application/pdf\", \"sha256\" : \"" +
            std::string(kAbcSha256) + "\", \"attributes\" : { \"f\" : \"said\"} }",
        infoAfterEtag(id));
}

TEST_F(BucketFactsTest, OnlyWhatTheUploadSaidIsKept) {
    // The generic type is no fact, and without a sha256 part there is no digest.
    const uint64_t plain = idOf(upload("plain.bin", "application/octet-stream", "plain"));
    auto answer = platform().service().request("GET", "/bucket/" + std::to_string(plain));
    EXPECT_EQ("attachment; filename=\"plain.bin\"; filename*=UTF-8''plain.bin",
              http::headerValue(answer.header, "Content-Disposition"));
    EXPECT_EQ(0u, answer.header.count("Repr-Digest"));
    EXPECT_EQ(", \"name\" : \"plain.bin\", \"attributes\" : { \"f\" : \"plain\"} }",
              infoAfterEtag(plain));
    const uint64_t typed = idOf(upload("t.txt", "text/plain; charset=utf-8", "typed"));
    EXPECT_EQ(
        ", \"name\" : \"t.txt\", \"type\" : \"text/plain; charset=utf-8\", \"attributes\" "
        ": { \"f\" : \"typed\"} }",
        infoAfterEtag(typed));
    ASSERT_EQ(1u, factRows(typed).size());
    EXPECT_EQ("", factRows(typed)[0]["sha256"]);
}

TEST_F(BucketFactsTest, BadNamesAreRefusedBeforeAnythingIsStored) {
    const uint64_t before = idOf(upload("ok.bin", "", "before"));
    const std::string refusal = "{ \"message\" : \"Failed to add bucket, the file name ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"dir/x.bin", "has a path part"},
        {"..", "has a path part"},
        {"tab\there", "has a control character"},
        {std::string(256, 'n'), "is longer than 255 bytes"},
        {"\xff.bin", "is not valid UTF-8"}};
    for (const auto& [name, fault] : cases) {
        auto answer = upload(name, "", "refused");
        EXPECT_EQ(400, answer.status) << name;
        EXPECT_EQ(refusal + fault + "\" }", answer.body) << name;
    }
    const std::string listing = platform().service().request("GET", "/bucket").body;
    EXPECT_EQ(std::string::npos, listing.find("refused")) << listing;
    EXPECT_TRUE(platform().uploadLeftovers().empty());
    // No id was taken, and a name of exactly 255 bytes is kept whole.
    const uint64_t longest = idOf(upload(std::string(255, 'n'), "", "longest"));
    EXPECT_EQ(before + 1, longest);
    EXPECT_EQ(std::string(255, 'n'), factRows(longest).at(0)["name"]);
}

TEST_F(BucketFactsTest, ABucketStoredWithoutFactsIsAnsweredAsBefore) {
    const uint64_t id = idOf(upload("gone.bin", "text/plain", "bare", true));
    Query rows(new Where("id", Equals, std::to_string(id)));
    CountResult removed =
        platform().storage().remove(bucket_schema::kName, bucket_schema::kFiles, rows);
    ASSERT_TRUE(removed && removed.value() == 1);
    auto answer = platform().service().request("GET", "/bucket/" + std::to_string(id));
    EXPECT_EQ("abc", answer.body);
    EXPECT_EQ(0u, answer.header.count("Content-Disposition"));
    EXPECT_EQ(0u, answer.header.count("Repr-Digest"));
    EXPECT_EQ(", \"attributes\" : { \"f\" : \"bare\"} }", infoAfterEtag(id));
}

TEST_F(BucketFactsTest, ReplacementAndDeletionKeepTheRowExact) {
    const uint64_t id = idOf(upload("old.txt", "text/plain", "replaced", true));
    const std::string content = "/bucket/" + std::to_string(id) + "/content";
    // New bytes without a digest: the old one is dropped, name and type stay.
    auto answer = platform().service().request("PUT", content, "new bytes");
    ASSERT_EQ(202, answer.status) << answer.body;
    EXPECT_EQ(
        ", \"name\" : \"old.txt\", \"type\" : \"text/plain\", \"attributes\" : { \"f\" : "
        "\"replaced\"} }",
        infoAfterEtag(id));
    // A refused name changes nothing.
    answer = platform().service().request("PUT", content + "?name=a%2Fb", "other");
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ(
        "{ \"message\" : \"Failed to replace bucket content, the file name has a path "
        "part\" }",
        answer.body);
    EXPECT_EQ("new bytes",
              platform().service().request("GET", "/bucket/" + std::to_string(id)).body);
    // A new name, type and digest replace the kept ones.
    answer = platform().service().request(
        "PUT", content + "?name=new.csv&type=text%2Fcsv&sha256=" + kAbcSha256, "abc");
    ASSERT_EQ(202, answer.status) << answer.body;
    EXPECT_EQ(", \"name\" : \"new.csv\", \"type\" : \"text/csv\", \"sha256\" : \"" +
                  std::string(kAbcSha256) + "\", \"attributes\" : { \"f\" : \"replaced\"} }",
              infoAfterEtag(id));
    EXPECT_EQ(1u, factRows(id).size());

    ASSERT_EQ(200, platform().service().request("DELETE", "/bucket/" + std::to_string(id)).status);
    EXPECT_TRUE(factRows(id).empty()) << "the deletion removes the facts row";
}

}  // namespace
