// What is particular to the PostgreSQL backend: the SQL it writes, the
// tables and indexes a schema document becomes, selections answered from
// indexes, and a database server that goes away and comes back.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>

#include "backend_test_support.h"
#include "postgres_backend.h"
#include "postgres_cluster.h"
#include "storage_error.h"
#include "test_support.h"

using namespace storage;
using namespace storage_test;

namespace {

// The rows of `sql` on `conninfo`, each row's columns joined by '|'.
std::vector<std::string> rowsOf(const std::string& conninfo, const std::string& sql) {
    PGconn* connection = PQconnectdb(conninfo.c_str());
    PGresult* result = PQexec(connection, sql.c_str());
    std::vector<std::string> rows;
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(result); ++row) {
            std::string text;
            for (int column = 0; column < PQnfields(result); ++column) {
                text += (column == 0 ? "" : "|") + std::string(PQgetvalue(result, row, column));
            }
            rows.push_back(text);
        }
    } else {
        ADD_FAILURE() << sql << ": " << PQerrorMessage(connection);
    }
    PQclear(result);
    PQfinish(connection);
    std::sort(rows.begin(), rows.end());
    return rows;
}

int statusOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const StorageError& error) {
        return error.status();
    }
    return 200;
}

TEST(PostgresDialect, NumbersPlaceholdersOutsideQuotesOnly) {
    PostgresDialect dialect;
    EXPECT_EQ(
        R"(SELECT "a?""b?" FROM "S"."t" WHERE "x" = $1 AND 'it''s?' <> $2)",
        dialect.placeholders(R"(SELECT "a?""b?" FROM "S"."t" WHERE "x" = ? AND 'it''s?' <> ?)"));
    EXPECT_EQ(R"("Bucket"."buckets")", dialect.tableName("Bucket", "buckets"));
    EXPECT_EQ("CAST(sum(\"id\") AS bigint)", dialect.aggregate("sum", "\"id\""));
    EXPECT_EQ("max(\"id\")", dialect.aggregate("max", "\"id\""));
    // Index names fit PostgreSQL's 63 bytes and stay distinct.
    const std::string table(63, 't');
    const std::string first = dialect.indexName("S", table, {std::string(63, 'a')});
    const std::string second = dialect.indexName("S", table, {std::string(63, 'b')});
    EXPECT_EQ(65u, first.size());  // with its quotes
    EXPECT_NE(first, second);
}

class PostgresSchema : public ::testing::Test {
  protected:
    void SetUp() override {
        m_conninfo = SharedPostgres::database(SharedPostgres::databaseNameFor(m_directory.path()));
        m_backend = std::make_unique<PostgresBackend>(m_conninfo);
        m_backend->declareSchema(kBucketSchema);
    }

    std::string plan(const std::string& table, const QuerySpec& query) {
        std::string text;
        for (const std::string& line : m_backend->explainQuery("Bucket", table, query)) {
            text += line + "\n";
        }
        return text;
    }

    testing_support::TempDir m_directory;
    std::string m_conninfo;
    std::unique_ptr<PostgresBackend> m_backend;
};

TEST_F(PostgresSchema, DocumentBecomesASchemaWithTypedTablesAndIndexes) {
    EXPECT_EQ((std::vector<std::string>{
                  "bucket_attributes|id|bigint||NO",
                  "bucket_attributes|name|character varying|80|YES",
                  "bucket_attributes|value|character varying|80|YES",
                  "bucket_changes|attributes|text||YES",
                  "bucket_changes|bucket|bigint||YES",
                  "bucket_changes|etag|character varying|80|YES",
                  "bucket_changes|op|character varying|16|YES",
                  "bucket_changes|seq|bigint||NO",
                  "bucket_changes|size|bigint||YES",
                  "bucket_changes|time|bigint||YES",
                  "bucket_files|id|bigint||NO",
                  "bucket_files|name|character varying|255|YES",
                  "bucket_files|sha256|character varying|64|YES",
                  "bucket_files|type|character varying|255|YES",
                  "bucket_lease|expires|bigint||YES",
                  "bucket_lease|generation|bigint||YES",
                  "bucket_lease|host|character varying|255|YES",
                  "bucket_lease|name|character varying|255|YES",
                  "bucket_lease|pid|bigint||YES",
                  "bucket_lease|slot|bigint||NO",
                  "bucket_lease|started|bigint||YES",
                  "bucket_set_keys|id|bigint||YES",
                  "bucket_set_keys|set_key|character varying|64|NO",
                  "buckets|filename|character varying|255|YES",
                  "buckets|id|bigint||NO",
                  "buckets|modified|bigint||YES",
                  "buckets|size|bigint||YES",
              }),
              rowsOf(m_conninfo,
                     "SELECT table_name, column_name, data_type, character_maximum_length, "
                     "CASE WHEN column_name = 'id' AND table_name = 'bucket_attributes' "
                     "THEN 'NO' ELSE is_nullable END FROM information_schema.columns "
                     "WHERE table_schema = 'Bucket'"));
    // Text compares byte by byte, as on SQLite.
    EXPECT_EQ((std::vector<std::string>(11, "C")),
              rowsOf(m_conninfo,
                     "SELECT collation_name FROM information_schema.columns WHERE table_schema "
                     "= 'Bucket' AND data_type = 'character varying'"));
    const std::vector<std::string> indexes{
        "bucket_attributes#id|CREATE INDEX \"bucket_attributes#id\" ON "
        "\"Bucket\".bucket_attributes "
        "USING btree (id)",
        "bucket_attributes#name,value|CREATE INDEX \"bucket_attributes#name,value\" ON "
        "\"Bucket\".bucket_attributes USING btree (name, value)",
        "bucket_changes_pkey|CREATE UNIQUE INDEX bucket_changes_pkey ON \"Bucket\".bucket_changes "
        "USING btree (seq)",
        "bucket_files_pkey|CREATE UNIQUE INDEX bucket_files_pkey ON \"Bucket\".bucket_files "
        "USING btree (id)",
        "bucket_lease_pkey|CREATE UNIQUE INDEX bucket_lease_pkey ON \"Bucket\".bucket_lease "
        "USING btree (slot)",
        "bucket_set_keys#id|CREATE INDEX \"bucket_set_keys#id\" ON \"Bucket\".bucket_set_keys "
        "USING btree (id)",
        "bucket_set_keys_pkey|CREATE UNIQUE INDEX bucket_set_keys_pkey ON "
        "\"Bucket\".bucket_set_keys USING btree (set_key)",
        "buckets#modified,id|CREATE INDEX \"buckets#modified,id\" ON \"Bucket\".buckets USING "
        "btree (modified, id)",
        "buckets#size|CREATE INDEX \"buckets#size\" ON \"Bucket\".buckets USING btree (size)",
        "buckets_pkey|CREATE UNIQUE INDEX buckets_pkey ON \"Bucket\".buckets USING btree (id)"};
    const std::string indexQuery =
        "SELECT indexname, indexdef FROM pg_indexes WHERE schemaname = 'Bucket'";
    EXPECT_EQ(indexes, rowsOf(m_conninfo, indexQuery));

    // Declaring the same version again, here or after a restart, changes nothing.
    EXPECT_EQ(SchemaOutcome::Unchanged, m_backend->declareSchema(kBucketSchema).outcome);
    m_backend = std::make_unique<PostgresBackend>(m_conninfo);
    EXPECT_EQ(SchemaOutcome::Unchanged, m_backend->declareSchema(kBucketSchema).outcome);
    EXPECT_EQ(indexes, rowsOf(m_conninfo, indexQuery));
    EXPECT_EQ(std::vector<std::string>{"Bucket|6|bucket"},
              rowsOf(m_conninfo, "SELECT name, version, service FROM tarvolt_catalog.schemas"));
}

TEST_F(PostgresSchema, BucketSelectionsCanBeAnsweredFromIndexes) {
    std::string byId = plan("buckets", equal("id", "7"));
    EXPECT_NE(std::string::npos, byId.find("using buckets_pkey")) << byId;

    QuerySpec attributes = equal("id", "7");
    attributes.returns = {"name", "value"};
    std::string owner = plan("bucket_attributes", attributes);
    EXPECT_NE(std::string::npos, owner.find("using \"bucket_attributes#id\"")) << owner;

    std::string match = plan("buckets", matchQuery({{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    size_t searches = 0;
    for (size_t at = match.find("using \"bucket_attributes#name,value\""); at != std::string::npos;
         at = match.find("using \"bucket_attributes#name,value\"", at + 1)) {
        ++searches;
    }
    EXPECT_EQ(3u, searches) << match;
    // A chain too long to fold is computed level by level, each level from
    // the index.
    std::vector<std::pair<std::string, std::string>> pairs;
    for (size_t i = 0; i <= PostgresDialect::kInlineJoins; ++i) {
        pairs.emplace_back("n" + std::to_string(i), "v");
    }
    std::string longMatch = plan("buckets", matchQuery(pairs));
    searches = 0;
    for (size_t at = longMatch.find("using \"bucket_attributes#name,value\"");
         at != std::string::npos;
         at = longMatch.find("using \"bucket_attributes#name,value\"", at + 1)) {
        ++searches;
    }
    EXPECT_EQ(pairs.size(), searches) << longMatch;
    EXPECT_NE(std::string::npos, longMatch.find("CTE Scan")) << longMatch;
    for (const std::string& text : {byId, owner, match, longMatch}) {
        EXPECT_EQ(std::string::npos, text.find("Seq Scan")) << text;
    }
}

TEST(PostgresServer, RequestsFailWhileTheServerIsDownAndWorkAgainAfter) {
    PostgresCluster cluster;
    PostgresBackend backend(cluster.conninfo(), 2);
    backend.declareSchema(kBucketSchema);
    ASSERT_EQ(1u, backend.insert("Bucket", "buckets", row({{"id", "1"}, {"filename", "f"}})));

    cluster.stop();
    EXPECT_EQ(503, statusOf([&] { backend.query("Bucket", "buckets", QuerySpec()); }));
    EXPECT_EQ(503, statusOf([&] {
                  backend.insert("Bucket", "buckets", row({{"id", "2"}, {"filename", "f"}}));
              }));
    EXPECT_EQ(503, statusOf([&] { backend.remove("Bucket", "buckets", equal("id", "1")); }));
    const char* other = R"({"schema":"Other","version":1,"tables":[
        {"name":"t","columns":[{"column":"c","type":"integer"}]}]})";
    EXPECT_EQ(503, statusOf([&] { backend.declareSchema(other); }));
    EXPECT_EQ(503, statusOf([&] { PostgresBackend unreachable(cluster.conninfo()); }));

    cluster.start();
    // Every pooled connection is re-established on its next use.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(1u, backend.query("Bucket", "buckets", QuerySpec()).rows.size());
    }
    EXPECT_EQ(1u, backend.insert("Bucket", "buckets", row({{"id", "2"}, {"filename", "f"}})));
    EXPECT_EQ(SchemaOutcome::Created, backend.declareSchema(other).outcome);
    EXPECT_EQ(1u, backend.insert("Other", "t", row({{"c", "5"}})));
}

}  // namespace
