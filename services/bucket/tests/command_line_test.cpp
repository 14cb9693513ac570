// The command-line rules of tarvolt-bucket.
#include <gtest/gtest.h>

#include <vector>

#include "command_line.h"

namespace {

CommandLine parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "tarvolt-bucket");
    return parseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLine, NoArgumentsGiveTheDefaults) {
    CommandLine line = parse({});
    EXPECT_EQ("localhost", line.coreAddress);
    EXPECT_EQ(8083, line.corePort);
    EXPECT_EQ("Bucket Storage", line.name);
    EXPECT_EQ("warning", line.logLevel);
    EXPECT_EQ("", line.token);
    EXPECT_FALSE(line.dryRun);
    EXPECT_TRUE(line.detach);
}

TEST(CommandLine, OptionsTakeEverythingAfterTheirPrefix) {
    CommandLine line = parse({"-d", "--port=9001", "--name=My Buckets", "--address=127.0.0.1",
                              "--logLevel=debug", "--token=abc=def", "--dryrun"});
    EXPECT_FALSE(line.detach);
    EXPECT_EQ(9001, line.corePort);
    EXPECT_EQ("My Buckets", line.name);
    EXPECT_EQ("127.0.0.1", line.coreAddress);
    EXPECT_EQ("debug", line.logLevel);
    EXPECT_EQ("abc=def", line.token);
    EXPECT_TRUE(line.dryRun);
    EXPECT_EQ("", parse({"--name="}).name) << "an empty value is taken as it is";
}

TEST(CommandLine, PrefixAndWholeArgumentRules) {
    EXPECT_TRUE(parse({"-dx"}).detach) << "-dx is not -d";
    EXPECT_TRUE(parse({"--dryrunX"}).dryRun);
    EXPECT_FALSE(parse({"--dry"}).dryRun);
    EXPECT_EQ("second", parse({"--name=first", "--name=second"}).name);
    CommandLine ignored = parse({"--unknown=1", "port=5", "--Port=7"});
    EXPECT_EQ(8083, ignored.corePort);
}

TEST(CommandLine, PortKeepsLeadingDigitsInSixteenBits) {
    EXPECT_EQ(4464, parse({"--port=70000"}).corePort);
    EXPECT_EQ(0, parse({"--port=abc"}).corePort);
    EXPECT_EQ(0, parse({"--port="}).corePort);
    EXPECT_EQ(123, parse({"--port=123abc"}).corePort);
    EXPECT_EQ(65535, parse({"--port=65535"}).corePort);
    EXPECT_EQ(0, parse({"--port=65536"}).corePort);
}

}  // namespace
