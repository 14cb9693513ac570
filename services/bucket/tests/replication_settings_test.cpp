// The replication settings: the category's items, refusals that keep the
// settings as they were, and the credentials file (only its owner may read
// it; a link, a file without both keys or a missing file is refused, and
// no message shows the secret).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "replication_settings.h"
#include "test_support.h"

namespace {

std::string items(const std::string& endpoint, const std::string& addressing) {
    return "{ \"endpoint\" : { \"value\" : \"" + endpoint +
           "\" }, \"bucket\" : { \"value\" : \"b\" }, \"keyPrefix\" : { \"value\" : \"p/\" }, "
           "\"addressing\" : { \"value\" : \"" +
           addressing + "\" }, \"credentialsFile\" : { \"value\" : \"/c\" } }";
}

TEST(ReplicationSettingsTest, ItemsAreReadAndBadOnesChangeNothing) {
    ReplicationSettings settings;
    EXPECT_EQ("", settings.read("R", items("https://s3.example", "virtual")));
    EXPECT_EQ("https://s3.example", settings.endpoint);
    EXPECT_TRUE(settings.virtualHost);
    EXPECT_EQ("p/", settings.keyPrefix);
    EXPECT_NE("", settings.read("R", items("ftp://s3.example", "path")));
    EXPECT_NE("", settings.read("R", items("http://s3.example", "sideways")));
    EXPECT_EQ("https://s3.example", settings.endpoint) << "refused settings change nothing";
    EXPECT_EQ("", settings.read("R", items("", "path")));
    EXPECT_TRUE(settings.endpoint.empty()) << "no endpoint: replication off";
}

TEST(ReplicationSettingsTest, OnlyAnOwnerOnlyFileWithBothKeysIsUsed) {
    testing_support::TempDir dir;
    const std::string path = dir.path() + "/credentials";
    std::ofstream(path) << "# the box\n[default]\naccess_key = AK\nsecret_key =  s3cr3t \n";
    std::string error;
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    EXPECT_FALSE(readCredentials(path, &error));
    EXPECT_NE(std::string::npos, error.find("0600"));
    ASSERT_EQ(0, chmod(path.c_str(), 0600));
    std::optional<ReplicationCredentials> read = readCredentials(path, &error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ("AK", read->accessKey);
    EXPECT_EQ("s3cr3t", read->secretKey);

    const std::string link = dir.path() + "/link";
    ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
    EXPECT_FALSE(readCredentials(link, &error));
    EXPECT_FALSE(readCredentials(dir.path() + "/missing", &error));
    const std::string half = dir.path() + "/half";
    std::ofstream(half) << "secret_key = s3cr3t\n";
    ASSERT_EQ(0, chmod(half.c_str(), 0600));
    EXPECT_FALSE(readCredentials(half, &error));
    EXPECT_EQ(std::string::npos, error.find("s3cr3t"));
}

}  // namespace
