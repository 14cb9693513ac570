// The form reader as a handler uses it: streamed file parts in temporary
// files, saving them, buffered bodies, and that no temporary file survives.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "form_data.h"
#include "form_test_util.h"
#include "http/request.h"
#include "sha256.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;

const std::string kBoundary = "----tarvoltFormBoundary";

// A request whose body was streamed to `sink` in random chunk sizes.
std::shared_ptr<http::Request> streamedRequest(const std::string& body, const std::string& dir,
                                               uint32_t seed = 1) {
    auto request = std::make_shared<http::Request>();
    request->header.emplace("Content-Type", formContentType(kBoundary));
    auto sink = std::make_shared<FormDataSink>(formContentType(kBoundary), dir);
    request->bodySink = sink;
    std::mt19937 random(seed);
    try {
        for (size_t offset = 0; offset < body.size();) {
            const size_t size = std::min<size_t>(1 + random() % 200000, body.size() - offset);
            sink->onData(body.data() + offset, size);
            offset += size;
        }
        sink->onComplete();
    } catch (const std::exception& error) {
        request->bodySinkError = error.what();
    }
    return request;
}

std::vector<TestPart> uploadParts(const std::string& file) {
    return {{"attributes", "{\"a\":\"1\"}", "", false, ""}, {"bucket", file, "big.bin", true, ""}};
}

TEST(FormDataStreaming, FileStreamedByteExactAndSavedByRename) {
    TempDir dir;
    const std::string file = randomBytes(3 * 1024 * 1024 + 17, 99);
    FormData::FieldValue bucket;
    FormData::FieldValue attributes;
    {
        FormData form(streamedRequest(buildBody(kBoundary, uploadParts(file)), dir.path()));
        ASSERT_TRUE(form.getUploadedFile("bucket", bucket));
        EXPECT_EQ(bucket.start, nullptr);
        EXPECT_EQ(bucket.size, file.size());
        EXPECT_EQ(bucket.filename, "big.bin");
        ASSERT_TRUE(form.getUploadedData("attributes", attributes));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(attributes.start), attributes.size),
                  "{\"a\":\"1\"}");
        // The temporary file is the only entry until it is saved.
        const std::vector<std::string> entries = directoryEntries(dir.path());
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].rfind(".upload-", 0), 0u);
        struct stat before {};
        ASSERT_EQ(stat((dir.path() + "/" + entries[0]).c_str(), &before), 0);
        const std::string target = dir.path() + "/7";
        form.saveFile(bucket, target);
        struct stat after {};
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "moved, not copied";
        EXPECT_THROW(form.saveFile(bucket, target + "b"), std::runtime_error);
    }
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"7"});
    EXPECT_EQ(readWholeFile(dir.path() + "/7"), file);
}

// Appends of every size around the buffer's: the file holds the bytes in
// order, and a few bytes held back between chunks (a possible delimiter start
// the parser keeps) do not turn the large chunks after them into buffer-sized
// writes.
TEST(FormDataStreaming, UploadFileKeepsOrderAndWritesLargeChunksWhole) {
    TempDir dir;
    const size_t buffer = UploadFile::kBufferBytes;
    std::vector<size_t> writes;
    WriteFunction counting = [&writes](int fd, const void* data, size_t size) -> ssize_t {
        writes.push_back(size);
        return ::write(fd, data, size);
    };
    const std::vector<size_t> sizes = {1,          4 * buffer, 3,      buffer - 3, buffer,
                                       buffer + 1, 10,         buffer, 4 * buffer, 7};
    std::string expected;
    {
        UploadFile file(dir.path(), counting);
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string chunk = randomBytes(sizes[i], static_cast<uint32_t>(i));
            file.append(chunk.data(), chunk.size());
            expected += chunk;
        }
        EXPECT_EQ(file.size(), expected.size());
        file.moveTo(dir.path() + "/saved");
    }
    EXPECT_EQ(readWholeFile(dir.path() + "/saved"), expected);
    // 1 byte, then 4 buffers: the buffer is topped up and written, the rest
    // goes out in one call.
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0], buffer);
    EXPECT_EQ(writes[1], 3 * buffer + 1);
    EXPECT_LE(writes.size(), 12u);
}

// A file part after the digest field is digested while it streams (its
// temporary file is not read again); before the field, or buffered, the
// digest is computed from the bytes when asked.
TEST(FormDataDigest, StreamedAfterTheFieldElseComputedWhenAsked) {
    TempDir dir;
    const std::string file = randomBytes(1024 * 1024 + 3, 7);
    Sha256 digest;
    digest.update(file.data(), file.size());
    const std::string expected = digest.hexDigest();
    FormLimits limits;
    limits.digestAfterField = "sha256";
    for (bool fieldFirst : {true, false}) {
        std::vector<TestPart> parts{{"bucket", file, "f.bin", true, ""}};
        parts.insert(fieldFirst ? parts.begin() : parts.end(), {"sha256", "x", "", false, ""});
        const std::string body = buildBody(kBoundary, parts);
        auto request = std::make_shared<http::Request>();
        request->header.emplace("Content-Type", formContentType(kBoundary));
        auto sink = std::make_shared<FormDataSink>(formContentType(kBoundary), dir.path(), limits);
        request->bodySink = sink;
        sink->onData(body.data(), body.size());
        sink->onComplete();
        FormData form(request);
        FormData::FieldValue value;
        ASSERT_TRUE(form.getUploadedFile("bucket", value));
        EXPECT_EQ(form.sha256Of(value), expected) << fieldFirst;
        for (const std::string& entry : directoryEntries(dir.path())) {
            std::filesystem::remove(dir.path() + "/" + entry);
        }
        EXPECT_EQ(form.sha256Of(value).has_value(), fieldFirst) << "streamed digest kept";
    }
    auto buffered = std::make_shared<http::Request>();
    buffered->header.emplace("Content-Type", formContentType(kBoundary));
    buffered->content = buildBody(kBoundary, {{"bucket", file, "f.bin", true, ""}});
    FormData form(buffered);
    FormData::FieldValue value;
    ASSERT_TRUE(form.getUploadedFile("bucket", value));
    EXPECT_EQ(form.sha256Of(value), expected);
}

// A checksummed upload whose client goes away in the middle of the file:
// dropping the sink ends the digest at once and leaves no file behind.
TEST(FormDataDigest, AnAbandonedUploadEndsItsDigestAndLeavesNothing) {
    TempDir dir;
    FormLimits limits;
    limits.digestAfterField = "sha256";
    const std::string body =
        buildBody(kBoundary, {{"sha256", "x", "", false, ""},
                              {"bucket", randomBytes(4 * 1024 * 1024, 3), "f.bin", true, ""}});
    for (size_t cut : {size_t(300), body.size() / 3, body.size() - 100}) {
        auto sink = std::make_shared<FormDataSink>(formContentType(kBoundary), dir.path(), limits);
        for (size_t at = 0; at < cut; at += 65536) {
            sink->onData(body.data() + at, std::min<size_t>(65536, cut - at));
        }
        EXPECT_FALSE(directoryEntries(dir.path()).empty()) << cut;
        sink.reset();
        EXPECT_TRUE(directoryEntries(dir.path()).empty()) << cut;
    }
}

TEST(FormDataStreaming, LookupsKeepFilesAndDataApartAndLeaveMissesUntouched) {
    TempDir dir;
    FormData form(streamedRequest(buildBody(kBoundary, uploadParts("xyz")), dir.path()));
    EXPECT_EQ(form.partCount(), 2u);
    FormData::FieldValue value{reinterpret_cast<const uint8_t*>("s"), 5, "keep"};
    EXPECT_FALSE(form.getUploadedFile("attributes", value));
    EXPECT_FALSE(form.getUploadedData("bucket", value));
    EXPECT_FALSE(form.getUploadedFile("nothing", value));
    EXPECT_EQ(value.size, 5u);
    EXPECT_EQ(value.filename, "keep");
}

TEST(FormDataStreaming, NoTemporaryFileSurvivesAnyOutcome) {
    TempDir dir;
    const std::string body = buildBody(kBoundary, uploadParts(randomBytes(600000, 3)));
    {  // never saved
        FormData form(streamedRequest(body, dir.path()));
    }
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
    {  // client gone mid-body: the sink is destroyed without onComplete
        FormDataSink sink(formContentType(kBoundary), dir.path());
        sink.onData(body.data(), body.size() / 2);
        EXPECT_EQ(directoryEntries(dir.path()).size(), 1u);
    }
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
    // refused after the file part began
    auto refused = streamedRequest(body.substr(0, body.size() - 3), dir.path());
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
    EXPECT_THROW(FormData{refused}, std::runtime_error);
    // the sink's refusal text reaches the handler
    try {
        FormData form(refused);
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "the multipart body ends before its closing boundary delimiter");
    }
}

// A full disk is reported as a storage failure (not the client's fault), and
// the temporary file goes at once.
TEST(FormDataStreaming, WriteFailureRefusesTheFormAndRemovesTheFile) {
    TempDir dir;
    size_t written = 0;
    WriteFunction fillsUp = [&written](int fd, const void* data, size_t size) -> ssize_t {
        if (written + size > 300000) {
            errno = ENOSPC;
            return -1;
        }
        written += size;
        return ::write(fd, data, size);
    };
    auto request = std::make_shared<http::Request>();
    auto sink = std::make_shared<FormDataSink>(formContentType(kBoundary), dir.path(), FormLimits(),
                                               fillsUp);
    request->bodySink = sink;
    const std::string body = buildBody(kBoundary, uploadParts(randomBytes(1000000, 5)));
    try {
        for (size_t offset = 0; offset < body.size(); offset += 65536) {
            sink->onData(body.data() + offset, std::min<size_t>(65536, body.size() - offset));
        }
        FAIL() << "the write failure was not reported";
    } catch (const UploadStorageError& error) {
        request->bodySinkError = error.what();
    }
    EXPECT_EQ(request->bodySinkError, "cannot write the uploaded file: No space left on device");
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
    EXPECT_THROW(FormData{request}, UploadStorageError);
    EXPECT_THROW(sink->takeParts(), UploadStorageError);

    // A malformed form is the client's fault: a plain runtime_error.
    auto malformed = streamedRequest(body.substr(0, 1000), dir.path());
    try {
        FormData form(malformed);
        FAIL();
    } catch (const UploadStorageError&) {
        FAIL() << "a malformed form reported as a storage failure";
    } catch (const std::runtime_error&) {
    }
}

TEST(FormDataStreaming, FailedSaveLeavesNothingAtThePath) {
    TempDir dir;
    FormData::FieldValue bucket;
    const std::string missingDir = dir.path() + "/missing/7";
    {
        FormData form(streamedRequest(buildBody(kBoundary, uploadParts("content")), dir.path()));
        ASSERT_TRUE(form.getUploadedFile("bucket", bucket));
        try {
            form.saveFile(bucket, missingDir);
            FAIL() << "saving into a missing directory succeeded";
        } catch (const UploadStorageError& error) {
            EXPECT_STREQ(error.what(), "cannot store the uploaded file: No such file or directory");
        }
        FormData::FieldValue attributes;
        ASSERT_TRUE(form.getUploadedData("attributes", attributes));
        EXPECT_THROW(form.saveFile(attributes, missingDir), UploadStorageError);
    }
    EXPECT_FALSE(std::filesystem::exists(missingDir));
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
}

// Saving onto another filesystem copies through a temporary sibling.
TEST(FormDataStreaming, SaveAcrossFilesystemsCopies) {
    TempDir dir;
    struct stat here {};
    struct stat shm {};
    if (stat(dir.path().c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 ||
        here.st_dev == shm.st_dev || access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second writable filesystem at /dev/shm";
    }
    const std::string target = "/dev/shm/tarvolt-formdata-test-" + std::to_string(getpid());
    const std::string file = randomBytes(700000, 11);
    {
        FormData form(streamedRequest(buildBody(kBoundary, uploadParts(file)), dir.path()));
        FormData::FieldValue bucket;
        ASSERT_TRUE(form.getUploadedFile("bucket", bucket));
        form.saveFile(bucket, target);
    }
    EXPECT_EQ(readWholeFile(target), file);
    std::filesystem::remove(target);
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
}

// Parts a route does not read are dropped as they stream: no temporary file
// at any moment, and none of their bytes in memory (a dropped data part far
// above the in-memory caps passes). The checks see every part as it begins.
TEST(FormDataDropping, UnreadPartsLeaveNoFileAndHoldNoBytes) {
    TempDir dir;
    FormLimits limits;
    limits.maxDataPartBytes = 512;
    limits.maxDataTotalBytes = 1024;
    limits.keepPart = [](const std::string& name, bool isFile) {
        return isFile ? name == "bucket" : name == "attributes";
    };
    std::vector<std::string> seen;
    PartCheck check = [&seen](const std::vector<FormPart>& before, const FormPart& next) {
        seen.push_back(std::to_string(before.size()) + next.name + (next.dropped ? "-" : "+"));
    };
    const std::string file = randomBytes(300000, 21);
    const std::vector<TestPart> parts{{"attributes", "{\"a\":\"1\"}", "", false, ""},
                                      {"extra", randomBytes(3000000, 22), "x.bin", true, ""},
                                      {"note", std::string(200000, 'n'), "", false, ""},
                                      {"attributes", "spare", "a.json", true, ""},
                                      {"bucket", file, "f.bin", true, ""},
                                      {"tail", randomBytes(500000, 23), "t.bin", true, ""}};
    const std::string body = buildBody(kBoundary, parts);
    const size_t bucketBegins = body.find("name=\"bucket\"");
    auto request = std::make_shared<http::Request>();
    auto sink = std::make_shared<FormDataSink>(formContentType(kBoundary), dir.path(), limits,
                                               WriteFunction(), check);
    request->bodySink = sink;
    for (size_t offset = 0; offset < body.size(); offset += 65536) {
        sink->onData(body.data() + offset, std::min<size_t>(65536, body.size() - offset));
        // Only the kept file part ever has a temporary file.
        const size_t files = directoryEntries(dir.path()).size();
        EXPECT_LE(files, offset + 65536 < bucketBegins ? 0u : 1u) << "at byte " << offset;
    }
    sink->onComplete();
    EXPECT_EQ(seen, (std::vector<std::string>{"0attributes+", "1extra-", "2note-", "3attributes-",
                                              "4bucket+", "5tail-"}));
    FormData form(request);
    EXPECT_EQ(form.partCount(), 6u);
    EXPECT_EQ(form.partsNamed("attributes"), 2u);
    FormData::FieldValue value;
    EXPECT_FALSE(form.getUploadedFile("extra", value));
    EXPECT_FALSE(form.getUploadedData("note", value));
    EXPECT_FALSE(form.getUploadedFile("attributes", value));
    ASSERT_TRUE(form.getUploadedFile("bucket", value));
    form.saveFile(value, dir.path() + "/1");
    EXPECT_EQ(readWholeFile(dir.path() + "/1"), file);
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"1"});
}

// A kept file part above maxFileBytes refuses the form with UploadTooLarge
// as soon as it passes the limit, not at the end of the body; its temporary
// file goes at once. A file of exactly the limit passes.
TEST(FormDataDropping, FileAboveTheLimitIsRefusedAtOnce) {
    TempDir dir;
    FormLimits limits;
    limits.maxFileBytes = 100000;
    for (size_t size : {limits.maxFileBytes, limits.maxFileBytes + 1}) {
        const std::string body =
            buildBody(kBoundary, {{"bucket", std::string(size, 'b'), "f", true, ""},
                                  {"more", std::string(1000000, 'm'), "", false, ""}});
        auto request = std::make_shared<http::Request>();
        auto sink = std::make_shared<FormDataSink>(formContentType(kBoundary), dir.path(), limits);
        request->bodySink = sink;
        size_t offset = 0;
        try {
            for (; offset < body.size(); offset += 10000) {
                sink->onData(body.data() + offset, std::min<size_t>(10000, body.size() - offset));
            }
            sink->onComplete();
        } catch (const UploadTooLarge& error) {
            request->bodySinkError = error.what();
            EXPECT_EQ(error.limit(), limits.maxFileBytes);
        }
        if (size == limits.maxFileBytes) {
            EXPECT_EQ(request->bodySinkError, "");
            continue;
        }
        EXPECT_EQ(request->bodySinkError, "an uploaded file exceeds 100000 bytes");
        EXPECT_LE(offset, limits.maxFileBytes + 200) << "refused when the limit was passed";
        EXPECT_TRUE(directoryEntries(dir.path()).empty());
        EXPECT_THROW(FormData{request}, UploadTooLarge);
    }
}

TEST(FormDataBuffered, BodyInContentIsParsedAndSavedAtomically) {
    TempDir dir;
    http::Request request;
    request.header.emplace("content-type", formContentType(kBoundary));
    request.content = buildBody(kBoundary, uploadParts("in memory"));
    FormData form(request);
    FormData::FieldValue bucket;
    ASSERT_TRUE(form.getUploadedFile("bucket", bucket));
    ASSERT_NE(bucket.start, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bucket.start), bucket.size), "in memory");
    form.saveFile(bucket, dir.path() + "/1");
    EXPECT_EQ(readWholeFile(dir.path() + "/1"), "in memory");
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"1"});

    request.content.pop_back();
    EXPECT_THROW(FormData{request}, std::runtime_error);
    request.header.clear();
    request.header.emplace("Content-Type", "application/json");
    request.content = "{}";
    EXPECT_THROW(FormData{request}, std::runtime_error);
    request.bodySinkError = "refused by the sink";
    try {
        FormData form2(request);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "refused by the sink");
    }
}

TEST(FormDataFactory, SinksOnlyForFormsAndPartsTakenOnce) {
    TempDir dir;
    http::BodySinkFactory factory = FormData::sinkFactory([&dir] { return dir.path(); });
    http::Request request;
    request.header.emplace("Content-Type", "application/octet-stream");
    EXPECT_EQ(factory(request), nullptr);
    request.header.clear();
    request.header.emplace("Content-Type", formContentType(kBoundary));
    std::shared_ptr<http::BodySink> sink = factory(request);
    ASSERT_NE(sink, nullptr);
    const std::string body = buildBody(kBoundary, uploadParts("f"));
    sink->onData(body.data(), body.size());
    sink->onComplete();
    request.bodySink = sink;
    FormData first(request);
    EXPECT_EQ(first.partCount(), 2u);
    EXPECT_THROW(FormData{request}, std::runtime_error);

    // A directory provider that fails makes the sink refuse the form.
    http::BodySinkFactory broken =
        FormData::sinkFactory([]() -> std::string { throw std::runtime_error("no root"); });
    std::shared_ptr<http::BodySink> refusing = broken(request);
    ASSERT_NE(refusing, nullptr);
    EXPECT_THROW(refusing->onData(body.data(), body.size()), std::runtime_error);
}

TEST(FormDataLeftovers, RemoveStaleUploadsRemovesOnlyUploadFiles) {
    TempDir dir;
    const std::string sub = dir.path() + "/0";
    std::filesystem::create_directory(sub);
    for (const std::string& path :
         {dir.path() + "/.upload-abc123", sub + "/.upload-Zz9_x1",
          dir.path() + "/.upload-long-name", sub + "/7", dir.path() + "/upload-abc123"}) {
        std::ofstream(path) << "x";
    }
    std::filesystem::create_directory(dir.path() + "/.upload-dir000");
    EXPECT_EQ(FormData::removeStaleUploads(dir.path()), 2u);
    EXPECT_EQ(
        directoryEntries(dir.path()),
        (std::vector<std::string>{".upload-dir000", ".upload-long-name", "0", "upload-abc123"}));
    EXPECT_EQ(directoryEntries(sub), std::vector<std::string>{"7"});
    EXPECT_EQ(FormData::removeStaleUploads(dir.path() + "/absent"), 0u);
}

}  // namespace
