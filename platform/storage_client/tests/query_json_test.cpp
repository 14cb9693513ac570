// The query classes render the documents of the storage protocol, and the
// ResultSet reads its answers.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "query.h"
#include "result_set.h"

namespace {

rapidjson::Document parsed(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError()) << json;
    return document;
}

TEST(QueryJson, MatchQueryNestsOneJoinPerPair) {
    // Built the way the bucket service builds its attribute match.
    Query* base = new Query({new Returns("id")}, new Where("id", NotEquals, "-1"));
    Query* attach = base;
    for (const char* pair : {"a", "b\"\\"}) {
        Query* sub = new Query(new Where("name", Equals, pair, new Where("value", Equals, "1")));
        attach->join(new Join("bucket_attributes", "id", "id", sub));
        attach = sub;
    }
    const std::string json = base->toJSON();
    delete base;
    EXPECT_EQ(
        R"({"where":{"column":"id","condition":"!=","value":"-1"},"return":["id"],"join":[{"table":)"
        R"("bucket_attributes","column":"id","on":"id","query":{"where":{"column":"name","condition":)"
        R"("=","value":"a","and":{"column":"value","condition":"=","value":"1"}},"join":[{"table":)"
        R"("bucket_attributes","column":"id","on":"id","query":{"where":{"column":"name",)"
        R"("condition":"=","value":"b\"\\","and":{"column":"value","condition":"=","value":"1"}}}}]}}]})",
        json);
}

TEST(QueryJson, EveryFormAndPartRenders) {
    Query maxId(new Aggregate("max", "id"), new Where("id", GreaterThan, "-1"));
    rapidjson::Document document = parsed(maxId.toJSON());
    EXPECT_STREQ("max", document["aggregate"][0]["operation"].GetString());
    EXPECT_STREQ(">", document["where"]["condition"].GetString());

    Query all(std::vector<Returns*>{new Returns("name"), new Returns("value")});
    all.limit(5);
    document = parsed(all.toJSON());
    EXPECT_EQ(2u, document["return"].Size());
    EXPECT_EQ(5u, document["limit"].GetUint());
    EXPECT_FALSE(document.HasMember("where"));

    Where chain("a", Equals, "1");
    chain.andWhere(new Where("b", LessOrEqual, "2"));
    chain.andWhere(new Where("c", GreaterOrEqual, "3"));
    document = parsed(chain.toJSON());
    EXPECT_STREQ(">=", document["and"]["and"]["condition"].GetString());
    document = parsed(Where("d", StartsWith, "x%").toJSON());
    EXPECT_STREQ("prefix", document["condition"].GetString());
    EXPECT_STREQ("x%", document["value"].GetString());

    Join plain("bucket_attributes", "id", "id", nullptr);
    EXPECT_FALSE(parsed(plain.toJSON()).HasMember("exclude"));
    Join absent("bucket_attributes", "id", "id", new Query(new Where("name", Equals, "hold")));
    absent.exclude();
    document = parsed(absent.toJSON());
    EXPECT_TRUE(document["exclude"].GetBool());
    EXPECT_STREQ("hold", document["query"]["where"]["value"].GetString());

    InsertValues values{{"id", 7L}, {"name", "it's \"x\"\n"}, {"value", std::string("\\")}};
    document = parsed(values.toJSON());
    EXPECT_STREQ("7", document["id"].GetString());
    EXPECT_STREQ("it's \"x\"\n", document["name"].GetString());
    EXPECT_STREQ("\\", document["value"].GetString());
}

TEST(QueryJson, GroupsNumbersAndOrderRender) {
    Query query(std::vector<Returns*>{new Returns("id")});
    Where* size = new Where("value", GreaterThan, "1e6");
    size->asNumber();
    query.all(new Query(size));
    query.any(new Query(new Where("value", Equals, "north")));
    query.any(new Query());
    query.negate(new Query(new Where("id", Equals, "3")));
    query.negate(new Query(new Where("id", Equals, "4")));  // replaces the first
    query.orderBy("id");
    rapidjson::Document document = parsed(query.toJSON());
    EXPECT_STREQ("number", document["all"][0]["where"]["as"].GetString());
    EXPECT_FALSE(document["any"][0]["where"].HasMember("as"));
    EXPECT_TRUE(document["any"][1].ObjectEmpty());
    EXPECT_STREQ("4", document["not"]["where"]["value"].GetString());
    EXPECT_STREQ("id", document["order"][0].GetString());
    EXPECT_FALSE(parsed(Query().toJSON()).HasMember("all"));
}

TEST(ResultSetParsing, RowsGiveTypedColumnsByNameAndIndex) {
    ResultSet result(R"({"count":3,"rows":[{"id":7,"name":"a","value":null},
        {"id":8,"name":"b","value":"x"},{"id":-1,"name":"","avg":1.5}]})");
    ASSERT_EQ(3u, result.rowCount());
    ResultSet::RowIterator row = result.firstRow();
    EXPECT_TRUE((*row)->getColumn("id")->isInteger());
    EXPECT_EQ(7, (*row)->getColumn("id")->getInteger());
    EXPECT_EQ("a", (*row)->getColumn(1)->getString());
    EXPECT_EQ(NULL_COLUMN, (*row)->getColumn("value")->getType());
    EXPECT_EQ(nullptr, (*row)->getColumn("avg"));
    EXPECT_EQ(nullptr, (*row)->getColumn(9));
    EXPECT_FALSE(result.isLastRow(row));
    row = result.nextRow(row);
    EXPECT_EQ("x", (*row)->getColumn("value")->getString());
    EXPECT_THROW((*row)->getColumn("value")->getInteger(), std::logic_error);
    row = result.nextRow(row);
    EXPECT_TRUE(result.isLastRow(row));
    EXPECT_EQ("-1", (*row)->getColumn("id")->getString());
    EXPECT_DOUBLE_EQ(1.5, (*row)->getColumn("avg")->getNumber());

    ResultSet empty(R"({"count":0,"rows":[]})");
    EXPECT_EQ(0u, empty.rowCount());
}

TEST(ResultSetParsing, MalformedAnswersAreRejected) {
    for (const char* json :
         {"", "[]", R"({"count":1})", R"({"rows":{}})", R"({"count":2,"rows":[{}]})",
          R"({"rows":[1]})", R"({"rows":[{"a":[1]}]})"}) {
        EXPECT_THROW(ResultSet{json}, std::invalid_argument) << json;
    }
}

}  // namespace
