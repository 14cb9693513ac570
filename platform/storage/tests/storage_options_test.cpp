// The command line of tarvolt-storage: the options the core passes, the
// standalone mode, and refusal of malformed values.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "storage_options.h"

using namespace storage;

namespace {

std::optional<StorageOptions> parse(const std::vector<std::string>& arguments,
                                    std::string* error = nullptr) {
    std::string message;
    std::vector<std::string> ignored;
    auto options = parseOptions(arguments, message, ignored);
    if (error != nullptr) {
        *error = message;
    }
    return options;
}

TEST(StorageOptions, ReadsTheOptionsTheCorePasses) {
    ::setenv("TARVOLT_DATA", "/var/tarvolt", 1);
    std::string error;
    std::vector<std::string> ignored;
    auto options = parseOptions({"-d", "--port=8083", "--address=127.0.0.1", "--name=Store",
                                 "--token=abc", "--logLevel=debug", "--dryrun"},
                                error, ignored);
    ASSERT_TRUE(options) << error;
    EXPECT_TRUE(options->foreground);
    EXPECT_FALSE(options->standalone);
    EXPECT_EQ(8083, options->corePort);
    EXPECT_EQ("127.0.0.1", options->coreAddress);
    EXPECT_EQ("Store", options->name);
    EXPECT_EQ("abc", options->token);
    EXPECT_EQ("debug", options->logLevel);
    EXPECT_EQ("/var/tarvolt/storage.db", options->database);
    EXPECT_EQ(std::vector<std::string>{"--dryrun"}, ignored);
    ::unsetenv("TARVOLT_DATA");

    auto defaults = parse({"--port=1"});
    ASSERT_TRUE(defaults);
    EXPECT_FALSE(defaults->foreground);
    EXPECT_EQ("Storage", defaults->name);
    EXPECT_EQ("localhost", defaults->coreAddress);
    EXPECT_EQ(4u, defaults->threads);
}

TEST(StorageOptions, StandaloneNeedsNoCore) {
    auto options = parse(
        {"--standalone", "--storage-port=9000", "--port-file=/tmp/p", "--db=x.db", "--threads=8"});
    ASSERT_TRUE(options);
    EXPECT_TRUE(options->standalone);
    EXPECT_EQ(9000, options->storagePort);
    EXPECT_EQ("/tmp/p", options->portFile);
    EXPECT_EQ("x.db", options->database);
    EXPECT_EQ(8u, options->threads);
}

TEST(StorageOptions, PostgresComesFromTheOptionOrTheEnvironment) {
    ::unsetenv("TARVOLT_STORAGE_POSTGRES");
    EXPECT_EQ("", parse({"--standalone"})->postgres);
    ::setenv("TARVOLT_STORAGE_POSTGRES", "host=/run/pg dbname=tarvolt", 1);
    EXPECT_EQ("host=/run/pg dbname=tarvolt", parse({"--standalone"})->postgres);
    EXPECT_EQ("dbname=other", parse({"--standalone", "--postgres=dbname=other"})->postgres);
    ::unsetenv("TARVOLT_STORAGE_POSTGRES");
    EXPECT_FALSE(parse({"--standalone", "--postgres="}));

    // Logged descriptions never carry the password.
    const std::string shown =
        describePostgres("host=db.local port=5433 dbname=t user=u password=secret");
    EXPECT_EQ("host=db.local port=5433 dbname=t user=u", shown);
    EXPECT_EQ(std::string::npos, describePostgres("postgresql://u:secret@h/d").find("secret"));
}

TEST(StorageOptions, MalformedValuesAreRefused) {
    std::string error;
    EXPECT_FALSE(parse({}, &error));
    EXPECT_NE(std::string::npos, error.find("--port="));
    for (const char* bad : {"--port=", "--port=65536", "--port=-1", "--port=80x", "--threads=0",
                            "--threads=1000", "--db=", "--name="}) {
        EXPECT_FALSE(parse({"--standalone", bad})) << bad;
    }
}

}  // namespace
