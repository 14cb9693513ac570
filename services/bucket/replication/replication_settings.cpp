// ReplicationSettings: the category's items and the credentials file.
#include "replication_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>

#include "config_category.h"

namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// The whole file behind `fd`, at most 64 KiB.
std::optional<std::string> readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 || text.size() > (64u << 10)) {
            return std::nullopt;
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace

std::string ReplicationSettings::read(const std::string& categoryName, const std::string& items) {
    ReplicationSettings next;
    try {
        ConfigCategory category(categoryName, items);
        auto value = [&category](const char* name, const std::string& fallback) {
            return category.itemExists(name) ? trimmed(category.getValue(name)) : fallback;
        };
        next.endpoint = value("endpoint", "");
        next.region = value("region", next.region);
        next.bucket = value("bucket", "");
        next.keyPrefix = value("keyPrefix", "");
        next.credentialsFile = value("credentialsFile", "");
        const std::string addressing = value("addressing", "path");
        if (addressing != "path" && addressing != "virtual") {
            return "addressing must be \"path\" or \"virtual\", not \"" + addressing + "\"";
        }
        next.virtualHost = addressing == "virtual";
    } catch (const std::exception& e) {
        return std::string("the items cannot be read: ") + e.what();
    }
    if (!next.endpoint.empty()) {
        if (next.endpoint.rfind("http://", 0) != 0 && next.endpoint.rfind("https://", 0) != 0) {
            return "the endpoint must begin with http:// or https://";
        }
        if (next.bucket.empty()) {
            return "no bucket is set";
        }
        if (next.credentialsFile.empty()) {
            return "no credentials file is set";
        }
    }
    *this = next;
    return "";
}

std::string ReplicationSettings::target() const {
    return endpoint + "\n" + bucket + "\n" + keyPrefix;
}

std::optional<ReplicationCredentials> readCredentials(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *error = "the credentials file " + path + " cannot be opened";
        return std::nullopt;
    }
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* held) {
        ::close(*held);
        delete held;
    });
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *error = "the credentials file " + path + " is not a regular file";
        return std::nullopt;
    }
    if ((status.st_mode & 0077) != 0) {
        *error = "the credentials file " + path +
                 " may be read by others than its owner; make it mode 0600";
        return std::nullopt;
    }
    std::optional<std::string> text = readAll(fd);
    if (!text) {
        *error = "the credentials file " + path + " cannot be read";
        return std::nullopt;
    }
    ReplicationCredentials credentials;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string name = trimmed(line.substr(0, equals));
        if (name == "access_key") {
            credentials.accessKey = trimmed(line.substr(equals + 1));
        } else if (name == "secret_key") {
            credentials.secretKey = trimmed(line.substr(equals + 1));
        }
    }
    if (credentials.accessKey.empty() || credentials.secretKey.empty()) {
        *error = "the credentials file " + path + " lacks access_key or secret_key";
        return std::nullopt;
    }
    return credentials;
}
