// The console's route: looks up a compiled-in file and answers it with the
// header fields a browser needs to use it safely.
#include "console_assets.h"

#include <cstring>
#include <string_view>

#include "http/request.h"
#include "http/response.h"
#include "http/status.h"

const char* const kConsolePath = "/bucket/console(?:/([A-Za-z0-9_.-]+))?";

namespace {

const char* kPage = "index.html";

bool endsWith(const std::string& text, const char* suffix) {
    const size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

}  // namespace

const ConsoleFile* findConsoleFile(const std::string& name) {
    for (size_t i = 0; i < kConsoleFileCount; ++i) {
        if (name == kConsoleFiles[i].name) {
            return &kConsoleFiles[i];
        }
    }
    return nullptr;
}

std::string consoleContentType(const std::string& name) {
    static const struct {
        const char* extension;
        const char* type;
    } kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".txt", "text/plain; charset=utf-8"},
    };
    for (const auto& entry : kTypes) {
        if (endsWith(name, entry.extension)) {
            return entry.type;
        }
    }
    return "application/octet-stream";
}

void serveConsole(std::shared_ptr<http::Response> response,
                  std::shared_ptr<http::Request> request) {
    const std::string requested = request->pathMatch.str(1);
    const ConsoleFile* file = findConsoleFile(requested.empty() ? kPage : requested);
    if (file == nullptr) {
        response->write(http::StatusCode::client_error_not_found,
                        "{ \"message\" : \"No such console file\" }",
                        {{"Content-Type", "application/json"}});
        return;
    }
    // The page may only load its own files and talk to its own origin.
    const http::Headers headers = {
        {"Content-Type", consoleContentType(file->name)},
        {"Cache-Control", "no-cache"},
        {"X-Content-Type-Options", "nosniff"},
        {"Content-Security-Policy",
         "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
         "frame-ancestors 'none'"},
    };
    response->write(http::StatusCode::success_ok,
                    std::string_view(reinterpret_cast<const char*>(file->data), file->size),
                    headers);
}
