// Replication wired into the bucket service, against a real radosgw: the
// settings from the category "<service> Replication" (a credentials file
// readable by others refused, the secret never shown), then additions,
// updates, patches that remove attributes, content replacements and
// deletions, each mirrored byte- and metadata-exact, as Debian's boto3 sees
// the bucket; the status on the service port and through the core.
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http/headers.h"
#include "replication/object_metadata.h"
#include "rest_platform.h"
#include "s3_fixture.h"
#include "test_support.h"

using rest_test::RestTest;

namespace {

class BucketReplicationTest : public RestTest {
  protected:
    void setItem(const std::string& item, const std::string& value) {
        std::string token = testing_support::readFile(platform().dataDir() + "/admin.token");
        token.erase(token.find_last_not_of("\n") + 1);
        auto answer = platform().core().request(
            "PUT", "/tarvolt/category/Bucket%20Storage%20Replication/" + item,
            "{ \"value\" : \"" + value + "\" }", {{"Authorization", "Bearer " + token}});
        ASSERT_EQ(200, answer.status) << answer.body;
    }
    rapidjson::Document status(bool throughCore = false) {
        http::Client& client = throughCore ? platform().core() : platform().service();
        auto answer = client.request(
            "GET", throughCore ? "/tarvolt/bucket/replication" : "/bucket/replication");
        EXPECT_EQ(200, answer.status);
        m_lastStatus = answer.body;
        rapidjson::Document document;
        document.Parse(answer.body.c_str());
        return document;
    }
    // Waits until the state is `state` (settings reach the service from the
    // core a moment after they are set); false after 30 s.
    bool reaches(const std::string& state) {
        for (int round = 0; round < 300; ++round) {
            rapidjson::Document now = status();
            if (now.IsObject() && now["state"] == state.c_str()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    // Waits until the replicator has confirmed every change; false after 60 s.
    bool caughtUp() {
        for (int round = 0; round < 600; ++round) {
            rapidjson::Document now = status();
            if (now.IsObject() && now["state"] == "following" &&
                now["lagChanges"].GetUint64() == 0 && now["cursor"].GetUint64() > 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    std::string m_lastStatus;
};

replication::Attributes attributesOf(const rapidjson::Value& object) {
    replication::Metadata metadata;
    for (const auto& member : object["metadata"].GetObject()) {
        metadata[member.name.GetString()] = member.value.GetString();
    }
    return replication::decodeAttributes(metadata).value_or(replication::Attributes{{"?", "?"}});
}

TEST_F(BucketReplicationTest, EveryKindOfChangeReachesTheObjectStoreExactly) {
    REQUIRE_CEPH(cluster);
    EXPECT_EQ("off", std::string(status()["state"].GetString()));
    const std::string credentials = platform().dataDir() + "/s3.credentials";
    std::ofstream(credentials) << "[default]\naccess_key = " << cluster->accessKey()
                               << "\nsecret_key = " << cluster->secretKey() << "\n";
    ASSERT_EQ(0, chmod(credentials.c_str(), 0644));
    ASSERT_NO_FATAL_FAILURE(setItem("credentialsFile", credentials));
    ASSERT_NO_FATAL_FAILURE(setItem("bucket", "edge-box"));
    ASSERT_NO_FATAL_FAILURE(setItem("keyPrefix", "box1/"));
    ASSERT_NO_FATAL_FAILURE(setItem("endpoint", cluster->url()));
    ASSERT_TRUE(reaches("refused")) << m_lastStatus;
    EXPECT_NE(std::string::npos, m_lastStatus.find("0600"));
    EXPECT_EQ(std::string::npos, m_lastStatus.find(cluster->secretKey()));
    EXPECT_EQ(std::string::npos, platform().serviceLog().find(cluster->secretKey()));

    ASSERT_EQ(0, chmod(credentials.c_str(), 0600));
    ASSERT_NO_FATAL_FAILURE(setItem("region", "us-east-1 "));  // any change applies again
    ASSERT_TRUE(reaches("following")) << m_lastStatus;
    const uint64_t kept =
        platform().addOrThrow("kept bytes", "{\"site\":\"north\",\"Grün\":\"é\"}");
    const uint64_t gone = platform().addOrThrow("gone bytes", "{\"site\":\"gone\"}");
    const std::string big = rest_test::pattern(3u << 20, 7);
    const uint64_t large = platform().addOrThrow(big, "{\"size\":\"large\"}");
    const std::string keptPath = "/bucket/" + std::to_string(kept);
    ASSERT_EQ(202, platform()
                       .service()
                       .request("PUT", keptPath, "{ \"attributes\" : { \"site\" : \"south\" } }")
                       .status);
    ASSERT_EQ(202,
              platform().service().request("PUT", keptPath + "/content", "new kept bytes").status);
    ASSERT_EQ(202, platform()
                       .service()
                       .request("PATCH", keptPath,
                                "{ \"attributes\" : { \"Grün\" : null, \"extra\" : \"1\" } }",
                                {{"Content-Type", "application/merge-patch+json"}})
                       .status);
    ASSERT_EQ(200,
              platform().service().request("DELETE", "/bucket/" + std::to_string(gone)).status);
    ASSERT_TRUE(caughtUp()) << m_lastStatus;

    const std::string keptKey = "box1/" + std::to_string(kept);
    const std::string largeKey = "box1/" + std::to_string(large);
    replication_test::Inspection listing(*cluster, "edge-box", "");
    ASSERT_EQ(2u, listing["keys"].Size()) << "the deleted bucket's object is gone";
    replication_test::Inspection seen(*cluster, "edge-box", keptKey + " " + largeKey);
    EXPECT_EQ(14u, seen[keptKey]["size"].GetUint64());
    EXPECT_EQ((replication::Attributes{{"extra", "1"}, {"site", "south"}}),
              attributesOf(seen[keptKey]));
    EXPECT_EQ(big.size(), seen[largeKey]["size"].GetUint64());
    EXPECT_EQ((replication::Attributes{{"size", "large"}}), attributesOf(seen[largeKey]));
    const std::string copy = platform().dataDir() + "/large.copy";
    std::ofstream(copy, std::ios::binary) << big;
    EXPECT_EQ(replication_test::fileSha256(copy), seen[largeKey]["sha256"].GetString());
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << "new kept bytes";
    EXPECT_EQ(replication_test::fileSha256(copy), seen[keptKey]["sha256"].GetString());

    rapidjson::Document proxied = status(true);
    EXPECT_EQ("following", std::string(proxied["state"].GetString())) << m_lastStatus;
    EXPECT_GE(proxied["bytesSent"].GetUint64(), big.size());
    EXPECT_EQ(std::string::npos, platform().serviceLog().find(cluster->secretKey()));
    ASSERT_NO_FATAL_FAILURE(setItem("endpoint", ""));
    EXPECT_TRUE(reaches("off")) << m_lastStatus;
}

// Buckets stored before replication was set up (as an index from before the
// feed holds them) and a target with leftovers: the first start resyncs
// from the service's listing, reporting it, and then follows the feed.
TEST_F(BucketReplicationTest, AFirstStartOverStoredBucketsResyncsThenFollows) {
    REQUIRE_CEPH(cluster);
    replication::S3Config config = replication_test::configFor(*cluster, "resync-box");
    replication::S3Client target(config);
    ASSERT_TRUE(target.createBucket().ok);
    const std::string leftover = platform().dataDir() + "/leftover";
    std::ofstream(leftover) << "left over";
    ASSERT_TRUE(target.putFile("box2/424242", leftover, {}).ok);
    ASSERT_TRUE(target.putFile("box2/readme", leftover, {}).ok);
    std::vector<uint64_t> ids;
    for (int i = 0; i < 12; ++i) {
        ids.push_back(platform().addOrThrow("stored " + std::to_string(i),
                                            "{\"n\":\"" + std::to_string(i) + "\",\"Ä\":\"\"}"));
    }
    const std::string credentials = platform().dataDir() + "/s3.credentials";
    std::ofstream(credentials) << "access_key = " << cluster->accessKey()
                               << "\nsecret_key = " << cluster->secretKey() << "\n";
    ASSERT_EQ(0, chmod(credentials.c_str(), 0600));
    ASSERT_NO_FATAL_FAILURE(setItem("credentialsFile", credentials));
    ASSERT_NO_FATAL_FAILURE(setItem("bucket", "resync-box"));
    ASSERT_NO_FATAL_FAILURE(setItem("keyPrefix", "box2/"));
    ASSERT_NO_FATAL_FAILURE(setItem("endpoint", cluster->url()));
    ASSERT_TRUE(caughtUp()) << m_lastStatus;
    EXPECT_NE(std::string::npos, m_lastStatus.find("\"resync\" : null")) << m_lastStatus;
    const std::string last = "/bucket/" + std::to_string(ids.back());
    ASSERT_EQ(200, platform().service().request("DELETE", last).status);
    ASSERT_TRUE(caughtUp()) << m_lastStatus;

    // Every bucket the service holds (those of earlier tests too) and the
    // readme, nothing else.
    rapidjson::Document stored;
    stored.Parse(platform().service().request("GET", "/bucket").body.c_str());
    std::vector<std::string> expected{"box2/readme"};
    for (const auto& bucket : stored["buckets"].GetArray()) {
        expected.push_back("box2/" + std::to_string(bucket["bucket"].GetUint64()));
    }
    std::sort(expected.begin(), expected.end());
    replication_test::Inspection listing(*cluster, "resync-box", "");
    std::vector<std::string> keys;
    for (const auto& key : listing["keys"].GetArray()) {
        keys.push_back(key.GetString());
    }
    EXPECT_EQ(expected, keys);
    std::string named;
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
        named += " box2/" + std::to_string(ids[i]);
    }
    replication_test::Inspection seen(*cluster, "resync-box", named);
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
        const auto& object = seen["box2/" + std::to_string(ids[i])];
        ASSERT_TRUE(object.IsObject()) << ids[i];
        EXPECT_EQ(("stored " + std::to_string(i)).size(), object["size"].GetUint64());
        EXPECT_EQ((replication::Attributes{{"n", std::to_string(i)}, {"Ä", ""}}),
                  attributesOf(object));
    }
}

}  // namespace
