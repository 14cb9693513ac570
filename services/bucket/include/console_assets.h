// The web console: its static files, compiled into the service from
// services/bucket/console, and the route that serves them under
// "/bucket/console" (the page itself) and "/bucket/console/<file>".
//
// Thread-safety: the files are immutable; every function may be called from
// any thread at any time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace http {
class Request;
class Response;
}  // namespace http

// One file of the console. `data` points at `size` bytes in static storage.
struct ConsoleFile {
    const char* name;  // file name without directory, e.g. "console.css"
    const unsigned char* data;
    size_t size;
};

// The generated table (console_files.cpp in the build directory).
extern const ConsoleFile kConsoleFiles[];
extern const size_t kConsoleFileCount;

// Path pattern of the console route: the page, or one file of it (group 1).
extern const char* const kConsolePath;

// The file called `name`, or null when the console has none by that name
// (names are compared exactly; no directories, no decoding).
const ConsoleFile* findConsoleFile(const std::string& name);

// The Content-Type of a console file, from its extension;
// "application/octet-stream" for an extension the console does not use.
std::string consoleContentType(const std::string& name);

// Route handler: answers 200 with the file the path names (the page for
// "/bucket/console") and its Content-Type, or 404
// `{ "message" : "No such console file" }`. Never throws for any path.
void serveConsole(std::shared_ptr<http::Response> response, std::shared_ptr<http::Request> request);
