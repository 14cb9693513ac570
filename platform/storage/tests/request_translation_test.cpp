// Reading of request and schema documents, and their translation to SQL:
// values only ever as parameters, names only when declared, the index rules.
#include <gtest/gtest.h>

#include "backend_test_support.h"
#include "schema_definition.h"
#include "sql_builder.h"
#include "sqlite_backend.h"
#include "storage_error.h"

using namespace storage;
using namespace storage_test;

namespace {

int statusOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const StorageError& error) {
        return error.status();
    }
    return 200;
}

TEST(SchemaDocument, BucketSchemaGivesTheDocumentedIndexes) {
    ParsedSchema parsed = parseSchemaDocument(kBucketSchema);
    const SchemaDefinition& schema = parsed.schema;
    EXPECT_EQ("Bucket", schema.name);
    EXPECT_EQ(6, schema.version);
    EXPECT_EQ("bucket", schema.service);
    const TableDefinition* buckets = schema.findTable("buckets");
    ASSERT_NE(nullptr, buckets);
    EXPECT_TRUE(buckets->findColumn("id")->key);
    EXPECT_EQ(ColumnType::Integer, buckets->findColumn("id")->type);
    EXPECT_EQ(255u, buckets->findColumn("filename")->size);
    // "col2" is dropped; the file's size and time are indexed for searches and retention.
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"size"}, {"modified", "id"}}),
              buckets->indexes);
    EXPECT_EQ(ColumnType::Integer, buckets->findColumn("modified")->type);
    ASSERT_EQ(1u, parsed.warnings.size());
    EXPECT_NE(std::string::npos, parsed.warnings[0].find("\"col2\""));

    const TableDefinition* attributes = schema.findTable("bucket_attributes");
    ASSERT_NE(nullptr, attributes);
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"name", "value"}, {"id"}}),
              attributes->indexes);

    const TableDefinition* lease = schema.findTable("bucket_lease");
    ASSERT_NE(nullptr, lease);
    EXPECT_TRUE(lease->findColumn("slot")->key);
    EXPECT_EQ(ColumnType::Integer, lease->findColumn("expires")->type);

    // The set keys: their own key, and looked up by bucket id.
    const TableDefinition* keys = schema.findTable("bucket_set_keys");
    ASSERT_NE(nullptr, keys);
    EXPECT_TRUE(keys->findColumn("set_key")->key);
    EXPECT_EQ(64u, keys->findColumn("set_key")->size);
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"id"}}), keys->indexes);
}

TEST(SchemaDocument, ExplicitCompositeIndexesAreKeptAsGiven) {
    ParsedSchema parsed = parseSchemaDocument(R"({"schema":"S","version":1,"tables":[
        {"name":"t","columns":[{"column":"a","type":"integer","key":true},
          {"column":"b","type":"varchar"},{"column":"c","type":"varchar"}],
         "index":[["c","b"],"b",["a"],["x","b"]]}]})");
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"c", "b"}, {"b", "c"}}),
              parsed.schema.tables[0].indexes);
    EXPECT_EQ(1u, parsed.warnings.size());
}

TEST(SchemaDocument, TextAfterANulIsRefused) {
    const std::string document = std::string(kBucketSchema) + std::string(1, '\0') + "{}";
    EXPECT_EQ(400, statusOf([&] { parseSchemaDocument(document); }));
    EXPECT_EQ(200, statusOf([&] { parseSchemaDocument(kBucketSchema); }));
}

TEST(RequestDocuments, ParseEveryPartOfAQuery) {
    QuerySpec spec = parseQueryDocument(R"({"where":{"column":"id","condition":"!=","value":"-1",
        "and":{"column":"name","condition":"<=","value":7}},"return":["id"],"limit":3,
        "join":[{"table":"t","column":"id","on":"id","query":{"where":
            {"column":"a","condition":"=","value":"b"}}}]})");
    ASSERT_EQ(2u, spec.conditions.size());
    EXPECT_EQ(Comparison::NotEqual, spec.conditions[0].comparison);
    EXPECT_EQ("7", spec.conditions[1].value);
    EXPECT_EQ(std::vector<std::string>{"id"}, spec.returns);
    EXPECT_EQ(3u, *spec.limit);
    ASSERT_EQ(1u, spec.joins.size());
    EXPECT_EQ("a", spec.joins[0].query.conditions.at(0).column);
}

TEST(RequestDocuments, MalformedDocumentsAreRefused) {
    for (const std::string document :
         {"", "{", "[]", R"({"where":[]})", R"({"where":{"column":"id","value":"1"}})",
          R"({"where":{"column":"id","condition":"~","value":"1"}})",
          R"({"where":{"column":"id","condition":"=","value":{}}})", R"({"limit":-1})",
          R"({"return":"id"})", R"({"join":[{"table":"t","column":"id"}]})", R"({"extra":1})"}) {
        EXPECT_EQ(400, statusOf([&] { parseQueryDocument(document); })) << document;
    }
    EXPECT_EQ(400, statusOf([] { parseInsertDocument(R"({"values":{}})"); }));
    EXPECT_EQ(400, statusOf([] { parseInsertDocument(R"({"values":{"a":"1","a":"2"}})"); }));
    EXPECT_EQ(400, statusOf([] { parseInsertDocument(R"({"values":{"a":[1]}})"); }));
    EXPECT_EQ(400, statusOf([] { parseUpdateDocument(R"({"values":{"a":"1"},"set":{}})"); }));
    // The parser stops at a NUL byte as at the end of the text; what follows
    // one is not ignored.
    const std::string nulThenMore("{}\0{\"where\":1}", 14);
    EXPECT_EQ(400, statusOf([&] { parseQueryDocument(nulThenMore); }));
    EXPECT_EQ(400,
              statusOf([] { parseInsertDocument(std::string(R"({"values":{"a":"1"}})") + '\0'); }));
}

TEST(RequestDocuments, InsertsCarryOneOrManyRows) {
    auto rows = parseInsertRowsDocument(R"({"inserts":[{"a":"1","b":2},{"a":null}]})");
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ((RowValues{{"a", "1"}, {"b", "2"}}), rows[0]);
    EXPECT_EQ((RowValues{{"a", std::nullopt}}), rows[1]);
    EXPECT_EQ(1u, parseInsertRowsDocument(R"({"values":{"a":"1"}})").size());

    std::string many = R"({"inserts":[)";
    for (size_t i = 0; i <= kMaxInsertRows; ++i) {
        many += std::string(i == 0 ? "" : ",") + R"({"a":"1"})";
    }
    many += "]}";
    for (const std::string& document :
         {std::string(R"({"inserts":[]})"), std::string(R"({"inserts":{"a":"1"}})"),
          std::string(R"({"inserts":[{}]})"), std::string(R"({"inserts":["a"]})"),
          std::string(R"({"inserts":[{"a":"1","a":"2"}]})"),
          std::string(R"({"inserts":[{"a":"1"}],"values":{"a":"1"}})"), std::string("{}"), many}) {
        EXPECT_EQ(400, statusOf([&] { parseInsertRowsDocument(document); })) << document;
    }
}

TEST(RequestDocuments, NestingAndSizeAreBounded) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "[";
    }
    EXPECT_EQ(400, statusOf([&] { parseQueryDocument(deep); }));

    std::string chain = R"({"column":"id","condition":"=","value":"1"})";
    for (size_t i = 0; i < kMaxConditions; ++i) {
        chain = R"({"column":"id","condition":"=","value":"1","and":)" + chain + "}";
    }
    EXPECT_EQ(400, statusOf([&] { parseQueryDocument("{\"where\":" + chain + "}"); }));

    std::string joins = "{}";
    for (size_t i = 0; i <= kMaxJoins; ++i) {
        joins = R"({"join":[{"table":"t","column":"id","on":"id","query":)" + joins + "}]}";
    }
    EXPECT_EQ(400, statusOf([&] { parseQueryDocument(joins); }));
}

TEST(SqlTranslation, ValuesTravelAsParametersOnly) {
    SchemaDefinition schema = parseSchemaDocument(kBucketSchema).schema;
    SqliteDialect dialect;
    SqlBuilder builder(dialect, schema);
    SqlStatement statement = builder.select("buckets", matchQuery({{"x'y", "DROP"}, {"b", "2"}}));
    EXPECT_EQ(std::string::npos, statement.sql.find("x'y"));
    EXPECT_EQ(std::string::npos, statement.sql.find("DROP"));
    // The innermost join is defined first, so its parameters come first.
    ASSERT_EQ(5u, statement.parameters.size());
    EXPECT_EQ(SqlValue(std::string("b")), statement.parameters[0]);
    EXPECT_EQ(SqlValue(std::string("x'y")), statement.parameters[2]);
    EXPECT_EQ(SqlValue(int64_t{-1}), statement.parameters[4]);
    EXPECT_EQ(
        // Outer levels compare name and value through a unary plus, so that
        // SQLite finds their rows from the inner level's ids instead of the
        // (name, value) index.
        "WITH \"j1\" AS (SELECT \"id\" AS \"k\" FROM \"Bucket.bucket_attributes\" WHERE \"name\" = "
        "? AND \"value\" = ?), \"j2\" AS (SELECT \"id\" AS \"k\" FROM \"Bucket.bucket_attributes\" "
        "WHERE +\"name\" = ? AND +\"value\" = ? AND \"id\" IN (SELECT \"k\" FROM \"j1\")) SELECT "
        "\"id\" FROM \"Bucket.buckets\" WHERE \"id\" <> ? AND \"id\" IN (SELECT \"k\" FROM \"j2\")",
        statement.sql);

    SqlStatement update = builder.update(
        "bucket_attributes", UpdateSpec{row({{"value", "v"}}), equal("id", "007").conditions});
    EXPECT_EQ("UPDATE \"Bucket.bucket_attributes\" SET \"value\" = ? WHERE \"id\" = ?", update.sql);
    EXPECT_EQ((std::vector<SqlValue>{std::string("v"), int64_t{7}}), update.parameters);
}

TEST(SqlTranslation, UndeclaredNamesNeverReachTheSql) {
    SchemaDefinition schema = parseSchemaDocument(kBucketSchema).schema;
    SqliteDialect dialect;
    SqlBuilder builder(dialect, schema);
    EXPECT_EQ(400, statusOf([&] { builder.select("buckets\" --", QuerySpec()); }));
    EXPECT_EQ(400, statusOf([&] { builder.select("buckets", equal("id\" OR 1=1 --", "1")); }));
    QuerySpec returns;
    returns.returns = {"filename, sqlite_version()"};
    EXPECT_EQ(400, statusOf([&] { builder.select("buckets", returns); }));
    QuerySpec aggregate;
    aggregate.aggregates = {{"max(id)); --", "id"}};
    EXPECT_EQ(400, statusOf([&] { builder.select("buckets", aggregate); }));
    EXPECT_EQ(400, statusOf([&] { builder.insert("buckets", row({{"id", "1"}, {"x\"y", "1"}})); }));
}

}  // namespace
