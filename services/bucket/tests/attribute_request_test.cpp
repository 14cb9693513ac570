// The reading of the attribute documents of the bucket requests: what is
// taken, what is refused with which message, and that the creation part and
// the request bodies agree.
#include <gtest/gtest.h>

#include <string>

#include "attribute_request.h"

namespace {

using bucket_text::readCreationAttributes;
using bucket_text::readRequestAttributes;

TEST(AttributeRequestTest, CreationPartTakesStringMembersInDocumentOrder) {
    AttributeList attributes;
    const auto reading =
        readCreationAttributes(R"({"size":"2","colour":"red","size":"3"})", attributes);
    EXPECT_EQ(reading.refusal, "");
    EXPECT_EQ(attributes, (AttributeList{{"size", "2"}, {"colour", "red"}, {"size", "3"}}));

    AttributeList empty;
    EXPECT_EQ(readCreationAttributes("{}", empty).refusal, "");
    EXPECT_TRUE(empty.empty());
}

TEST(AttributeRequestTest, CreationPartRefusals) {
    AttributeList attributes;
    auto reading = readCreationAttributes(R"({"a":"1"} {"b":"2"})", attributes);
    EXPECT_FALSE(reading.parseError.empty());
    EXPECT_EQ(reading.refusal, "Failed to parse the bucket attributes, " + reading.parseError);

    reading = readCreationAttributes("[]", attributes);
    EXPECT_EQ(reading.parseError, "");
    EXPECT_EQ(reading.refusal, "Attributes must be a JSON object");

    reading = readCreationAttributes(R"({"a":1})", attributes);
    EXPECT_EQ(reading.refusal,
              "Attribute values for buckets must be strings. a does not have a string value");
}

// RapidJSON stops at a NUL byte as at the end of the text; what follows one
// must not be ignored.
TEST(AttributeRequestTest, TextAfterANulIsNotIgnored) {
    AttributeList attributes;
    const std::string creation("{\"a\":\"1\"}\0{\"b\":\"2\"}", 19);
    auto reading = readCreationAttributes(creation, attributes);
    EXPECT_EQ(reading.parseError, "The document root must not be followed by other values.");
    EXPECT_EQ(reading.refusal,
              "Failed to parse the bucket attributes, The document root must not be followed by "
              "other values.");
    EXPECT_EQ(readCreationAttributes(std::string("{}\0", 3), attributes).refusal.empty(), false);
    EXPECT_EQ(readRequestAttributes(std::string("{\"attributes\":{}}\0", 18), "match", attributes),
              "Badly formed payload, The document root must not be followed by other values.");
    EXPECT_TRUE(attributes.empty());
}

// A \u escape of a lone low surrogate decodes to bytes that are not UTF-8;
// storage would refuse them, so the request is refused first.
TEST(AttributeRequestTest, EscapesThatAreNotUtf8AreRefused) {
    AttributeList attributes;
    EXPECT_EQ(readCreationAttributes(R"({"a":"x\udd00"})", attributes).refusal,
              "Attribute names and values must be valid UTF-8 text");
    EXPECT_EQ(readRequestAttributes(R"({"attributes":{"\udc00":"1"}})", "update", attributes),
              "Attribute names and values must be valid UTF-8 text");
    EXPECT_TRUE(attributes.empty());
    // A surrogate pair and plain non-ASCII text are fine.
    EXPECT_EQ(readRequestAttributes(R"({"attributes":{"\ud83d\ude00":"\u00e9t\u00e9"}})", "match",
                                    attributes),
              "");
    EXPECT_EQ(attributes, (AttributeList{{"\xF0\x9F\x98\x80", "\xC3\xA9t\xC3\xA9"}}));
}

TEST(AttributeRequestTest, RequestBodiesNeedAnAttributesObject) {
    AttributeList attributes;
    EXPECT_EQ(readRequestAttributes(R"({ "attrs" : { "a" : "1" } })", "update", attributes),
              "Badly formed payload, missing attributes to update");
    EXPECT_EQ(readRequestAttributes(R"({ "attributes" : [ "a" ] })", "match", attributes),
              "Badly formed payload, missing attributes to match");
    // A body that is JSON but no object is refused, not read.
    EXPECT_EQ(readRequestAttributes(R"("attributes")", "match", attributes),
              "Badly formed payload, missing attributes to match");
    EXPECT_EQ(readRequestAttributes("[1]", "update", attributes),
              "Badly formed payload, missing attributes to update");
    EXPECT_EQ(readRequestAttributes("{", "match", attributes).rfind("Badly formed payload, ", 0),
              0u);
    EXPECT_TRUE(attributes.empty());
}

TEST(AttributeRequestTest, RequestBodyIgnoresOtherMembers) {
    AttributeList attributes;
    EXPECT_EQ(readRequestAttributes(R"({ "other" : [[1]], "attributes" : { "a" : "x" } })", "match",
                                    attributes),
              "");
    EXPECT_EQ(attributes, (AttributeList{{"a", "x"}}));
}

// An escaped NUL used to cut the text: "a\u0000b" was stored as "a", matched
// "a\u0000c" and made "a\u0000zzz" a duplicate.
TEST(AttributeRequestTest, EscapedNulIsRefusedInNamesAndValues) {
    const std::string refusal = "Attribute names and values must not contain NUL characters";
    AttributeList attributes;
    EXPECT_EQ(readCreationAttributes(R"({"nulx":"a\u0000b"})", attributes).refusal, refusal);
    EXPECT_EQ(readRequestAttributes(R"({"attributes":{"a\u0000b":"x"}})", "update", attributes),
              refusal);
    EXPECT_EQ(readRequestAttributes(R"({"attributes":{"a":"\u0000"}})", "match", attributes),
              refusal);
    EXPECT_TRUE(attributes.empty());
}

}  // namespace
