#include "json_util.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

TEST(JsonUtilTest, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(JSONescape("plain text"), "plain text");
    EXPECT_EQ(JSONescape("say \"hi\""), "say \\\"hi\\\"");
    EXPECT_EQ(JSONescape("C:\\dir"), "C:\\\\dir");
    EXPECT_EQ(JSONescape("a\nb\tc\rd\be\ff"), "a\\nb\\tc\\rd\\be\\ff");
    EXPECT_EQ(JSONescape(std::string("\x01\x1f", 2)), "\\u0001\\u001f");
    EXPECT_EQ(JSONescape(std::string("nul\0end", 7)), "nul\\u0000end");
    EXPECT_EQ(JSONescape(""), "");
}

TEST(JsonUtilTest, CopiesUtf8Unchanged) {
    EXPECT_EQ(JSONescape("Grüße / 温度 \x7f \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"),
              "Grüße / 温度 \x7f \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF");
}

// A request path with bytes that are not UTF-8 used to be echoed as they
// came, and the "Unsupported URL" answer was no valid JSON.
TEST(JsonUtilTest, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    const std::string kReplacement = "\xEF\xBF\xBD";
    EXPECT_EQ(JSONescape("/a\xff/b"), "/a" + kReplacement + "/b");
    EXPECT_EQ(JSONescape("\xC3"), kReplacement);                                        // cut short
    EXPECT_EQ(JSONescape("\xC0\xAF"), kReplacement + kReplacement);                     // overlong
    EXPECT_EQ(JSONescape("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);  // surrogate
    EXPECT_EQ(JSONescape("\xF4\x90\x80\x80x"),
              kReplacement + kReplacement + kReplacement + kReplacement + "x");  // above U+10FFFF
    const std::string json = "[" + JSONquote("\x80\xfe ok \xe2\x82") + "]";
    rapidjson::Document document;
    document.Parse<rapidjson::kParseValidateEncodingFlag>(json.c_str(), json.size());
    EXPECT_FALSE(document.HasParseError()) << json;
}

TEST(JsonUtilTest, QuotedTextParsesBackToTheOriginal) {
    std::string nasty("\"quote\" \\ back\nnew\x02 ctrl \xc3\xa9 / end", 30);
    rapidjson::Document document;
    std::string json = "[" + JSONquote(nasty) + "]";
    document.Parse(json.c_str(), json.size());
    ASSERT_FALSE(document.HasParseError()) << json;
    EXPECT_EQ(std::string(document[0].GetString(), document[0].GetStringLength()), nasty);
}

TEST(JsonUtilTest, NestingLimitCountsBracketsOutsideStrings) {
    EXPECT_TRUE(JSONnestingWithin("{ \"a\" : [ 1, { \"b\" : [] } ] }", 4));
    EXPECT_FALSE(JSONnestingWithin("{ \"a\" : [ 1, { \"b\" : [] } ] }", 3));
    EXPECT_TRUE(JSONnestingWithin("[ \"[[[[\\\"[[[\" ]", 1));
    EXPECT_FALSE(JSONnestingWithin(std::string(100000, '['), 64));
    EXPECT_TRUE(JSONnestingWithin("", 0));
}
