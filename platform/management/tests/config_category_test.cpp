#include "config_category.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "service_record.h"

namespace {

rapidjson::Document parse(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError()) << json;
    return document;
}

DefaultConfigCategory advancedCategory() {
    DefaultConfigCategory category("Bucket Storage Advanced", "{}");
    category.setDescription("Bucket Service Advanced");
    category.addItem("logLevel", "Minimum logging level reported", "warning", "warning",
                     {"error", "warning", "info", "debug"});
    category.setItemDisplayName("logLevel", "Minimum Log Level");
    category.addItem("threads", "Maximum number of bucket threads", "integer", "2", "2");
    category.addItem("location", "Root \"quoted\" \\ path", "string", "buckets", "buckets");
    return category;
}

}  // namespace

TEST(ConfigCategoryTest, ItemsRenderAsAnObjectInInsertionOrder) {
    DefaultConfigCategory category = advancedCategory();
    rapidjson::Document items = parse(category.itemsToJSON());
    ASSERT_TRUE(items.IsObject());
    ASSERT_EQ(items.MemberCount(), 3u);
    auto member = items.MemberBegin();
    EXPECT_STREQ(member->name.GetString(), "logLevel");
    EXPECT_STREQ(member->value["type"].GetString(), "enumeration");
    EXPECT_STREQ(member->value["default"].GetString(), "warning");
    EXPECT_STREQ(member->value["value"].GetString(), "warning");
    EXPECT_STREQ(member->value["displayName"].GetString(), "Minimum Log Level");
    ASSERT_EQ(member->value["options"].Size(), 4u);
    EXPECT_STREQ(member->value["options"][3].GetString(), "debug");
    ++member;
    EXPECT_STREQ(member->name.GetString(), "threads");
    EXPECT_FALSE(member->value.HasMember("options"));
    EXPECT_FALSE(member->value.HasMember("displayName"));
    ++member;
    EXPECT_STREQ(member->value["description"].GetString(), "Root \"quoted\" \\ path");
    EXPECT_EQ(DefaultConfigCategory("Empty", "{}").itemsToJSON(), "{}");
}

TEST(ConfigCategoryTest, ParsesWhatItRendersAndKeepsUnknownMembers) {
    DefaultConfigCategory original = advancedCategory();
    ConfigCategory copy("copy", original.itemsToJSON());
    EXPECT_EQ(copy.itemsToJSON(), original.itemsToJSON());

    ConfigCategory parsed("parsed",
                          R"({ "port" : { "description" : "Port", "type" : "integer",
                                "default" : "8080", "order" : "3", "minimum" : 1,
                                "limits" : { "max" : 65535 } },
                               "mode" : { "type" : "JSON", "default" : { "a" : [1, 2] },
                                "value" : 17 } })");
    EXPECT_EQ(parsed.getValue("port"), "8080");  // no "value": the default
    EXPECT_EQ(parsed.getValue("mode"), "17");
    EXPECT_EQ(parsed.findItem("mode")->defaultValue, "{\"a\":[1,2]}");
    rapidjson::Document items = parse(parsed.itemsToJSON());
    EXPECT_STREQ(items["port"]["order"].GetString(), "3");
    EXPECT_EQ(items["port"]["minimum"].GetInt(), 1);
    EXPECT_EQ(items["port"]["limits"]["max"].GetInt(), 65535);
}

TEST(ConfigCategoryTest, LooksUpAndChangesItems) {
    DefaultConfigCategory category = advancedCategory();
    EXPECT_TRUE(category.itemExists("threads"));
    EXPECT_FALSE(category.itemExists("nothing"));
    EXPECT_THROW(category.getValue("nothing"), std::out_of_range);
    EXPECT_TRUE(category.setValue("threads", "4"));
    EXPECT_FALSE(category.setValue("nothing", "4"));
    EXPECT_EQ(category.getValue("threads"), "4");
    category.addItem("threads", "replaced", "integer", "3", "3");
    EXPECT_EQ(category.getItems().size(), 3u);
    EXPECT_EQ(category.getValue("threads"), "3");
    category.setItemDisplayName("nothing", "ignored");
    EXPECT_FALSE(category.itemExists("nothing"));
}

TEST(ConfigCategoryTest, RejectsTextThatIsNotAnObjectOfItems) {
    EXPECT_THROW(ConfigCategory("c", ""), std::invalid_argument);
    EXPECT_THROW(ConfigCategory("c", "{ \"a\" : "), std::invalid_argument);
    EXPECT_THROW(ConfigCategory("c", "[]"), std::invalid_argument);
    EXPECT_THROW(ConfigCategory("c", "{ \"a\" : \"not an item\" }"), std::invalid_argument);
    EXPECT_THROW(ConfigCategory("c", "{ \"a\" : { \"options\" : \"x\" } }"), std::invalid_argument);
    EXPECT_THROW(ConfigCategory("c", "{ \"a\" : { \"options\" : [ 1 ] } }"), std::invalid_argument);
    std::string deep =
        "{ \"a\" : { \"x\" : " + std::string(10000, '[') + std::string(10000, ']') + " } }";
    EXPECT_THROW(ConfigCategory("c", deep), std::invalid_argument);
    // Text after a NUL byte is refused, not dropped.
    EXPECT_THROW(ConfigCategory("c", std::string("{}\0{ \"a\" : 1 }", 13)), std::invalid_argument);
}

TEST(ConfigCategoryTest, CategoryJsonHoldsKeyDescriptionDisplayNameAndItems) {
    DefaultConfigCategory category = advancedCategory();
    rapidjson::Document plain = parse(category.toJSON());
    EXPECT_STREQ(plain["key"].GetString(), "Bucket Storage Advanced");
    EXPECT_STREQ(plain["description"].GetString(), "Bucket Service Advanced");
    EXPECT_FALSE(plain.HasMember("displayName"));
    EXPECT_TRUE(plain["value"].HasMember("location"));
    category.setDisplayName("Advanced \"settings\"");
    EXPECT_STREQ(parse(category.toJSON())["displayName"].GetString(), "Advanced \"settings\"");
}

TEST(ServiceRecordTest, RendersTheRegistrationObject) {
    ServiceRecord record("Bucket \"Storage\"", "BucketStorage", "http", "localhost", 8090, 40001,
                         "tok");
    rapidjson::Document json = parse(record.toJSON());
    EXPECT_STREQ(json["name"].GetString(), "Bucket \"Storage\"");
    EXPECT_STREQ(json["type"].GetString(), "BucketStorage");
    EXPECT_EQ(json["service_port"].GetInt(), 8090);
    EXPECT_EQ(json["management_port"].GetInt(), 40001);
    EXPECT_STREQ(json["token"].GetString(), "tok");
    ServiceRecord lookup("", "Storage");
    EXPECT_EQ(lookup.getPort(), 0);
    EXPECT_EQ(lookup.getAddress(), "");
}
