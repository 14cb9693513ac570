// S3Client against a real radosgw, every result checked with boto3.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../s3_request.h"
#include "replication/object_metadata.h"
#include "s3_fixture.h"

namespace replication {
namespace {

using replication_test::fileSha256;
using replication_test::Inspection;
using replication_test::writeRandomFile;

class S3ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/s3-client-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // A client for a bucket of its own, created.
    std::unique_ptr<S3Client> clientFor(ceph_test::CephCluster& cluster, const std::string& bucket,
                                        S3Config* tuned = nullptr) {
        S3Config config = replication_test::configFor(cluster, bucket);
        if (tuned != nullptr) {
            tuned->endpoint = config.endpoint;
            tuned->bucket = bucket;
            tuned->accessKey = config.accessKey;
            tuned->secretKey = config.secretKey;
            config = *tuned;
        }
        auto client = std::make_unique<S3Client>(config);
        StoreResult created = client->createBucket();
        EXPECT_TRUE(created.ok) << created.error;
        return client;
    }

    std::string m_dir;
};

TEST_F(S3ClientTest, PutCopyHeadDeleteAreExactInTheStore) {
    REQUIRE_CEPH(cluster);
    auto client = clientFor(*cluster, "client-basic");
    const std::string path = m_dir + "/one";
    writeRandomFile(path, 300000, 1);
    const Attributes attributes{{"colour", "red"},     {"Mixed Case", "ünïcode\nline"},
                                {"empty", ""},         {"tv-clash", "x"},
                                {"padded", " value "}, {"path/like", "a=b;c"}};
    ASSERT_TRUE(client->putFile("box/1", path, encodeAttributes(attributes)).ok);

    Inspection seen(*cluster, "client-basic", "box/1");
    ASSERT_TRUE(seen["box/1"].IsObject());
    EXPECT_EQ(seen["box/1"]["sha256"].GetString(), fileSha256(path));
    Metadata stored;
    for (const auto& member : seen["box/1"]["metadata"].GetObject()) {
        stored[member.name.GetString()] = member.value.GetString();
    }
    EXPECT_EQ(stored["colour"], "red");
    EXPECT_EQ(decodeAttributes(stored), attributes);
    EXPECT_EQ(client->bytesSent(), 300000u);

    // New attributes only: the bytes stay, the metadata is replaced whole.
    const Attributes changed{{"colour", "blue"}};
    ASSERT_TRUE(client->replaceMetadata("box/1", encodeAttributes(changed)).ok);
    ObjectInfo info;
    ASSERT_TRUE(client->head("box/1", &info).ok);
    EXPECT_EQ(decodeAttributes(info.metadata), changed);
    EXPECT_EQ(info.size, 300000u);
    Inspection after(*cluster, "client-basic", "box/1");
    EXPECT_EQ(after["box/1"]["sha256"].GetString(), fileSha256(path));
    EXPECT_EQ(client->bytesSent(), 300000u);

    EXPECT_EQ(client->replaceMetadata("box/none", {}).status, 404);
    ASSERT_TRUE(client->remove("box/1").ok);
    EXPECT_TRUE(client->remove("box/1").ok);
    EXPECT_EQ(client->head("box/1", &info).status, 404);
    EXPECT_TRUE(Inspection(*cluster, "client-basic", "box/1")["box/1"].IsNull());
}

TEST_F(S3ClientTest, TheStoreRefusesBytesThatDoNotMatchTheirHash) {
    REQUIRE_CEPH(cluster);
    S3Config config = replication_test::configFor(*cluster, "client-hash");
    S3Client client(config);
    StoreResult created = client.createBucket();
    ASSERT_TRUE(created.ok) << created.error;
    const std::string path = m_dir + "/bytes";
    writeRandomFile(path, 1000, 2);
    S3Request put(config, "PUT", client.objectUrl("forged"));
    put.fileBody(path, 0, 1000, sha256Hex("other bytes"));
    StoreResult result = put.perform();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.status, 400);
    EXPECT_NE(result.error.find("XAmzContentSHA256Mismatch"), std::string::npos) << result.error;
    EXPECT_TRUE(Inspection(*cluster, "client-hash", "forged")["forged"].IsNull());
}

TEST_F(S3ClientTest, WrongSecretFailsWithoutShowingIt) {
    REQUIRE_CEPH(cluster);
    S3Config config = replication_test::configFor(*cluster, "client-secret");
    config.secretKey = "not-the-secret-0123456789";
    S3Client client(config);
    StoreResult result = client.createBucket();
    EXPECT_EQ(result.status, 403);
    EXPECT_EQ(result.error.find(config.secretKey), std::string::npos);
    S3Config unreachable = config;
    unreachable.endpoint = "http://127.0.0.1:1";
    StoreResult away = S3Client(unreachable).remove("k");
    EXPECT_FALSE(away.ok);
    EXPECT_EQ(away.status, 0);
}

TEST_F(S3ClientTest, VirtualHostStyleReachesTheSameBucket) {
    REQUIRE_CEPH(cluster);
    clientFor(*cluster, "client-vhost");
    S3Config config = replication_test::configFor(*cluster, "client-vhost");
    config.endpoint = "http://localhost:" + std::to_string(cluster->port());
    config.virtualHost = true;
    S3Client client(config);
    EXPECT_EQ(client.objectUrl("a b/c"),
              "http://client-vhost.localhost:" + std::to_string(cluster->port()) + "/a%20b/c");
    const std::string path = m_dir + "/v";
    writeRandomFile(path, 5000, 3);
    ASSERT_TRUE(client.putFile("a b/c", path, {{"k", "v"}}).ok);
    Inspection seen(*cluster, "client-vhost", "'a b/c'");
    EXPECT_EQ(seen["a b/c"]["sha256"].GetString(), fileSha256(path));
    EXPECT_STREQ(seen["a b/c"]["metadata"]["k"].GetString(), "v");
}

TEST_F(S3ClientTest, MultipartUploadGoesOnFromTheLastConfirmedPart) {
    REQUIRE_CEPH(cluster);
    S3Config tuned;
    tuned.multipartThreshold = 6u << 20;
    tuned.partSize = 5u << 20;
    tuned.uploadStateFile = m_dir + "/upload.state";
    auto client = clientFor(*cluster, "client-multipart", &tuned);
    const std::string path = m_dir + "/big";
    const uint64_t size = (12u << 20) + 12345;  // three parts
    writeRandomFile(path, size, 4);

    // An upload cut after its first part: started and part 1 sent by the
    // independent client, its state as the client would have kept it.
    const std::string part1 = m_dir + "/part1";
    {
        std::ifstream in(path, std::ios::binary);
        std::string bytes(5u << 20, '\0');
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(part1, std::ios::binary) << bytes;
    }
    Inspection started(*cluster, "client-multipart", "upload:big:" + part1);
    std::ofstream(tuned.uploadStateFile)
        << "big\n"
        << fileSha256(path) << '\n'
        << size << ' ' << tuned.partSize << ' ' << started["big"]["upload"].GetString() << '\n'
        << started["big"]["etag"].GetString() << '\n';

    ASSERT_TRUE(client->putFile("big", path, {{"kind", "large"}}).ok);
    EXPECT_EQ(client->bytesSent(), size - tuned.partSize);  // part 1 was not sent again
    Inspection seen(*cluster, "client-multipart", "big");
    EXPECT_EQ(seen["big"]["size"].GetUint64(), size);
    EXPECT_EQ(seen["big"]["sha256"].GetString(), fileSha256(path));

    // A state naming an upload the store does not know: refused once, then
    // the next attempt starts afresh and succeeds.
    std::ofstream(tuned.uploadStateFile) << "big\n"
                                         << fileSha256(path) << '\n'
                                         << size << ' ' << tuned.partSize << " 2~gone\n";
    EXPECT_EQ(client->putFile("big", path, {}).status, 404);
    ASSERT_TRUE(client->putFile("big", path, {{"kind", "again"}}).ok);
    Inspection again(*cluster, "client-multipart", "big");
    EXPECT_EQ(again["big"]["sha256"].GetString(), fileSha256(path));
    EXPECT_STREQ(again["big"]["metadata"]["kind"].GetString(), "again");
}

}  // namespace
}  // namespace replication
