// Storage root rules, log-level changes and the sweep of stale uploads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "bucket_service.h"
#include "logger.h"
#include "test_support.h"
#include "upload_sweeper.h"

namespace fs = std::filesystem;

namespace {

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = getenv(name);
        m_had = old != nullptr;
        m_old = old ? old : "";
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { m_had ? setenv(m_name, m_old.c_str(), 1) : unsetenv(m_name); }

  private:
    const char* m_name;
    bool m_had;
    std::string m_old;
};

class ConfigurationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_service = std::make_unique<BucketService>("Bucket Storage", "");
        m_service->getLogger()->setConsoleOutput(false);
        m_service->getLogger()->setObserver(
            [this](Logger::Level, const std::string& line) { m_logged.push_back(line); });
    }

    testing_support::TempDir m_dir;
    std::unique_ptr<BucketService> m_service;
    std::vector<std::string> m_logged;
};

TEST_F(ConfigurationTest, RelativeLocationsLiveUnderTheDataDirectory) {
    const std::string data = m_dir.path() + "/data";
    {
        ScopedEnv dataEnv("TARVOLT_DATA", data.c_str());
        ScopedEnv rootEnv("TARVOLT_ROOT", "/nonexistent-root");
        m_service->setLocation("buckets");
        EXPECT_EQ(data + "/buckets", m_service->getStoreRoot());
        EXPECT_TRUE(fs::is_directory(data + "/buckets")) << "all missing levels are created";
    }
    {
        ScopedEnv dataEnv("TARVOLT_DATA", nullptr);
        ScopedEnv rootEnv("TARVOLT_ROOT", m_dir.path().c_str());
        m_service->setLocation("a/b");
        EXPECT_EQ(m_dir.path() + "/data/a/b", m_service->getStoreRoot());
        EXPECT_TRUE(fs::is_directory(m_dir.path() + "/data/a/b"));
        m_service->setLocation("");
        EXPECT_EQ(m_dir.path() + "/data/", m_service->getStoreRoot());
    }
    {
        ScopedEnv dataEnv("TARVOLT_DATA", nullptr);
        ScopedEnv rootEnv("TARVOLT_ROOT", nullptr);
        // Not created here: the test must not write outside its directory.
        EXPECT_EQ("/usr/local/tarvolt/data/buckets", BucketService::storeRootFor("buckets"));
    }
    EXPECT_TRUE(m_logged.empty());
}

TEST_F(ConfigurationTest, AbsoluteLocationIsUsedUnchanged) {
    ScopedEnv dataEnv("TARVOLT_DATA", "/elsewhere");
    const std::string absolute = m_dir.path() + "/x/y/z";
    m_service->setLocation(absolute);
    EXPECT_EQ(absolute, m_service->getStoreRoot());
    EXPECT_TRUE(fs::is_directory(absolute));
    EXPECT_TRUE(m_logged.empty());
}

TEST_F(ConfigurationTest, UncreatableRootIsReportedAndKept) {
    const std::string file = m_dir.path() + "/plain-file";
    std::ofstream(file) << "x";
    m_service->setLocation(file + "/sub");
    EXPECT_EQ(file + "/sub", m_service->getStoreRoot());
    ASSERT_EQ(1u, m_logged.size());
    EXPECT_EQ("Unable to create storage directory '" + file + "/sub' for buckets.", m_logged[0]);
}

TEST_F(ConfigurationTest, AdvancedCategoryChangeSetsTheLogLevel) {
    const std::string items =
        "{ \"logLevel\" : { \"description\" : \"d\", \"type\" : \"enumeration\", "
        "\"default\" : \"warning\", \"value\" : \"debug\", \"options\" : [ \"error\", "
        "\"warning\", \"info\", \"debug\" ] } }";
    m_service->configChange("Other", items);
    EXPECT_EQ("warning", m_service->getLogger()->getMinLevel());
    m_service->configChange("Bucket Storage Advanced", items);
    EXPECT_EQ("debug", m_service->getLogger()->getMinLevel());
    EXPECT_EQ(std::vector<std::string>{"Setting log level to debug"}, m_logged);

    m_logged.clear();
    m_service->configChange("Bucket Storage", "{}");
    EXPECT_EQ(
        std::vector<std::string>{
            "Configuration change for 'Bucket Storage' category not implemented yet"},
        m_logged);
    m_service->configChange("Bucket Storage Advanced", "not json");
    EXPECT_EQ("debug", m_service->getLogger()->getMinLevel()) << "a bad change changes nothing";
}

TEST(UploadSweeper, RemovesOnlyStaleUploadFiles) {
    testing_support::TempDir dir;
    const fs::path root = dir.path();
    fs::create_directories(root / "0");
    for (const char* name : {".upload-abc", "0/.upload-def", "0/7", "upload-x", "0/.uploadx"}) {
        std::ofstream(root / name) << "data";
    }
    fs::create_directory(root / ".upload-dir");
    fs::create_symlink(root / "0/7", root / ".upload-link");
    auto cutoff = fs::file_time_type::clock::now() + std::chrono::seconds(5);
    std::atomic<bool> cancel{false};
    EXPECT_EQ(2u, UploadSweeper::sweep(root.string(), cutoff, cancel));
    EXPECT_FALSE(fs::exists(root / ".upload-abc"));
    EXPECT_FALSE(fs::exists(root / "0/.upload-def"));
    for (const char* kept : {"0/7", "upload-x", "0/.uploadx", ".upload-dir", ".upload-link"}) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(root / kept))) << kept;
    }

    // Files written after the cut-off belong to uploads in progress.
    std::ofstream(root / ".upload-new") << "data";
    UploadSweeper sweeper(root.string(), fs::file_time_type::clock::now() - std::chrono::hours(1));
    sweeper.start();
    EXPECT_EQ(0u, sweeper.join());
    EXPECT_TRUE(fs::exists(root / ".upload-new"));
    EXPECT_EQ(0u, UploadSweeper::sweep((root / "missing").string(), cutoff, cancel));
}

}  // namespace
