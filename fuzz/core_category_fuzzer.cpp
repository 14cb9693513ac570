// libFuzzer target for the core's configuration categories.
//
// Input: requests separated by NUL bytes; each starts with an operation
// character, then its text:
//   'c' body        create a category        'k' body   create, keeping items
//   's' name LF item LF body   set an item   'h' parent LF body   add children
//   'g' name        read the category, its items and its children
//   'i' name        follow the category (registration "r1")
//
// The store keeps its file in a temporary directory. Checks: every answer
// is JSON, a failure is { "message" : text } with 400 or 404 (the file can
// always be written, so never 500); a body with text after a NUL byte is
// refused; a created category reads back, and
// creating it again from what it reads back changes nothing; after the
// last request a store loaded from the file reads back every category as
// the running store does.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "category_store.h"

namespace {

std::string g_dir;
std::string g_input;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n--- input ---\n%s\n", what.c_str(), g_input.c_str());
    std::abort();
}

void removeDir() {
    std::filesystem::remove_all(g_dir);
}

rapidjson::Document parsed(const std::string& json) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(json.c_str(), json.size());
    if (document.HasParseError()) {
        fail("an answer is not JSON: " + json);
    }
    return document;
}

void checkResult(const CoreResult& result) {
    rapidjson::Document document = parsed(result.json);
    if (result.ok()) {
        return;
    }
    if (result.status != 400 && result.status != 404) {
        fail("status " + std::to_string(result.status) + ": " + result.json);
    }
    if (!document.IsObject() || !document.HasMember("message") || !document["message"].IsString()) {
        fail("a failure without a message: " + result.json);
    }
}

// Splits "a LF b LF rest" into its first `count` lines and the rest.
std::vector<std::string> fields(const std::string& text, size_t count) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            start = text.size();
        } else {
            parts.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }
    parts.push_back(text.substr(std::min(start, text.size())));
    return parts;
}

// The creation body that gives the category `answer` (a get answer).
std::string recreationBody(const std::string& answer) {
    rapidjson::Document document = parsed(answer);
    rapidjson::Document body(rapidjson::kObjectType);
    auto& allocator = body.GetAllocator();
    for (const char* name : {"key", "description", "value"}) {
        if (!document.HasMember(name)) {
            fail(std::string("a category answer without \"") + name + "\": " + answer);
        }
        body.AddMember(rapidjson::StringRef(name), rapidjson::Value(document[name], allocator),
                       allocator);
    }
    if (document.HasMember("displayName")) {
        body.AddMember("display_name", rapidjson::Value(document["displayName"], allocator),
                       allocator);
    }
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    body.Accept(writer);
    return text.GetString();
}

void create(CategoryStore& store, const std::string& body, bool keep,
            std::set<std::string>& names) {
    std::optional<CategoryStore::Change> change;
    const CoreResult result = store.create(body, keep, change);
    checkResult(result);
    if (!result.ok()) {
        return;
    }
    rapidjson::Document document = parsed(result.json);
    if (!document.IsObject() || !document.HasMember("key") || !document["key"].IsString()) {
        fail("a created category without its key: " + result.json);
    }
    const std::string name(document["key"].GetString(), document["key"].GetStringLength());
    names.insert(name);
    std::optional<CategoryStore::Change> ignored;
    if (store.create(body + std::string("\0{}", 3), keep, ignored).ok()) {
        fail("text after a NUL byte was ignored: " + body);
    }
    const CoreResult read = store.get(name);
    if (!read.ok()) {
        fail("a created category does not read back: " + name);
    }
    std::optional<CategoryStore::Change> again;
    const CoreResult recreated = store.create(recreationBody(read.json), false, again);
    if (!recreated.ok() || again || store.get(name).json != read.json) {
        fail("creating a category from what it reads back changed it: " + read.json + " -> " +
             store.get(name).json);
    }
}

void apply(CategoryStore& store, char operation, const std::string& text,
           std::set<std::string>& names) {
    std::optional<CategoryStore::Change> change;
    std::vector<CategoryStore::ChildAdded> added;
    switch (operation) {
        case 'c':
        case 'k':
            create(store, text, operation == 'k', names);
            break;
        case 's': {
            const auto parts = fields(text, 2);
            checkResult(store.setItem(parts[0], parts[1], parts[2], change));
            break;
        }
        case 'h': {
            const auto parts = fields(text, 1);
            checkResult(store.addChildren(parts[0], parts[1], added));
            break;
        }
        case 'g':
            checkResult(store.get(text));
            checkResult(store.items(text));
            checkResult(store.children(text));
            break;
        case 'i':
            checkResult(store.addInterest(text, "r1"));
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/category-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_dir = pattern;
    std::atexit(removeDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_input.assign(reinterpret_cast<const char*>(data), size);
    const std::string file = g_dir + "/categories.json";
    std::filesystem::remove(file);
    std::set<std::string> names;
    {
        CategoryStore store(file);
        std::string message;
        store.load(message);
        size_t start = 0;
        for (int requests = 0; start < g_input.size() && requests < 64; ++requests) {
            size_t end = g_input.find('\0', start);
            end = end == std::string::npos ? g_input.size() : end;
            if (end > start) {
                apply(store, g_input[start], g_input.substr(start + 1, end - start - 1), names);
            }
            start = end + 1;
        }
        CategoryStore reloaded(file);
        if (!reloaded.load(message)) {
            fail("the saved categories do not load: " + message);
        }
        for (const std::string& name : names) {
            if (reloaded.get(name).json != store.get(name).json ||
                reloaded.children(name).json != store.children(name).json) {
                fail("category " + name + " reads back differently after loading: " +
                     store.get(name).json + " -> " + reloaded.get(name).json);
            }
        }
    }
    return 0;
}
