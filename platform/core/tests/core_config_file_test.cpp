// The configuration file: its syntax, its errors, and how the command line
// overrides it.
#include <gtest/gtest.h>

#include <fstream>

#include "core_config_file.h"
#include "core_options.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;

std::string writeConfig(const TempDir& dir, const std::string& text) {
    const std::string path = dir.path() + "/tarvolt.conf";
    std::ofstream(path) << text;
    return path;
}

TEST(CoreConfigFileTest, SettingsBecomeOptionsAndTheCommandLineOverridesThem) {
    TempDir dir;
    const std::string path = writeConfig(dir,
                                         "# Tarvolt\n"
                                         "\n"
                                         "  port = 9083\r\n"
                                         "api-port=9081\n"
                                         "data = /var/lib/tarvolt\n"
                                         "durability = relaxed\n"
                                         "audit-file-size = 1M\n");
    CoreOptions options;
    std::string error;
    ASSERT_TRUE(parseCoreOptions({"--config=" + path}, "/from/env", options, error)) << error;
    EXPECT_EQ(options.managementPort, 9083);
    EXPECT_EQ(options.apiPort, 9081);
    EXPECT_EQ(options.dataDir, "/var/lib/tarvolt");
    EXPECT_EQ(options.durability, "relaxed");
    EXPECT_EQ(options.auditFileBytes, 1u << 20);
    EXPECT_EQ(options.configFile, path);

    // Before or after --config, the command line wins.
    ASSERT_TRUE(parseCoreOptions({"--api-port=0", "--config=" + path, "--durability=durable"},
                                 nullptr, options, error))
        << error;
    EXPECT_EQ(options.apiPort, 0);
    EXPECT_EQ(options.managementPort, 9083);
    EXPECT_EQ(options.durability, "durable");
}

TEST(CoreConfigFileTest, ABadFileIsAnErrorNamingTheFileAndTheLine) {
    TempDir dir;
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"port = 1\nno equals sign\n", "line 2: expected 'key = value'"},
        {"open = true\n", "line 1: unknown setting 'open'"},
        {"config = /etc/other\n", "unknown setting 'config'"},
        {"\n\ndata =   \n", "line 3: 'data' needs a value"},
        {"port = 70000\n", "line 1: bad --port value '70000'"},
        {"durability = sometimes\n", "bad --durability value 'sometimes'"},
    };
    for (const auto& c : cases) {
        const std::string path = writeConfig(dir, c.text);
        CoreOptions options;
        std::string error;
        EXPECT_FALSE(parseCoreOptions({"--config=" + path}, nullptr, options, error)) << c.text;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
    CoreOptions options;
    std::string error;
    EXPECT_FALSE(
        parseCoreOptions({"--config=" + dir.path() + "/missing.conf"}, nullptr, options, error));
    EXPECT_NE(error.find("cannot read the configuration file"), std::string::npos) << error;
}

TEST(CoreConfigFileTest, TheInstalledDefaultFileParses) {
    std::vector<ConfigFileSetting> settings;
    std::string error;
    ASSERT_TRUE(readCoreConfigFile(TARVOLT_SOURCE_DIR "/debian/tarvolt.conf", settings, error))
        << error;
    std::vector<std::string> args;
    for (const auto& setting : settings)
        args.push_back(setting.option);
    CoreOptions options;
    ASSERT_TRUE(parseCoreOptions(args, nullptr, options, error)) << error;
    EXPECT_EQ(options.dataDir, "/var/lib/tarvolt");
    EXPECT_EQ(options.durability, "durable");
}

}  // namespace
