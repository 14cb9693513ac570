#include "logger.h"

#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "file_util.h"
#include "time_util.h"

namespace {

// The process logger, and the fallback logger that getLogger creates when
// none exists; the fallback is kept for the life of the process. Recursive
// because getLogger constructs the fallback while holding the lock.
std::recursive_mutex g_instanceMutex;
std::atomic<Logger*> g_instance{nullptr};
Logger* g_fallback = nullptr;

// Serialises the lines written to standard error so they never interleave.
std::mutex g_consoleMutex;

const char* const kLevelNames[] = {"debug", "info", "warning", "error", "fatal"};
const char* const kConsoleNames[] = {"DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
const int kSyslogPriorities[] = {LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERR, LOG_CRIT};

std::string formatMessage(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int length = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (length < 0)
        return format;
    if (static_cast<size_t>(length) < sizeof(small))
        return std::string(small, length);
    std::vector<char> large(static_cast<size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), format, args);
    return std::string(large.data(), length);
}

// `message` with every control character but the tab written as an escape
// ("\n", "\r", "\x1b", ...), so text a client sent cannot start a forged
// log line or steer a terminal. Other bytes stay as they are.
std::string escapeControls(const std::string& message) {
    std::string text;
    text.reserve(message.size());
    for (unsigned char c : message) {
        if ((c >= 0x20 && c != 0x7f) || c == '\t') {
            text += static_cast<char>(c);
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else {
            static const char kHex[] = "0123456789abcdef";
            text += "\\x";
            text += kHex[c >> 4];
            text += kHex[c & 0xf];
        }
    }
    return text;
}

}  // namespace

Logger::Logger(const std::string& application) : m_application(application) {
    std::lock_guard<std::recursive_mutex> lock(g_instanceMutex);
    Logger* current = g_instance.load();
    if (current == nullptr || current == g_fallback) {
        g_instance = this;
        openlog(m_application.c_str(), LOG_PID, LOG_USER);
    }
}

Logger::~Logger() {
    std::lock_guard<std::recursive_mutex> lock(g_instanceMutex);
    if (g_instance.load() == this) {
        g_instance = g_fallback;
        if (g_fallback != nullptr) {
            openlog(g_fallback->m_application.c_str(), LOG_PID, LOG_USER);
        } else {
            closelog();
        }
    }
}

Logger* Logger::getLogger() {
    Logger* current = g_instance.load();
    if (current != nullptr)
        return current;
    std::lock_guard<std::recursive_mutex> lock(g_instanceMutex);
    if (g_instance.load() == nullptr) {
        if (g_fallback == nullptr) {
            g_fallback = new Logger("tarvolt");  // installs itself as the process logger
        } else {
            g_instance = g_fallback;
            openlog(g_fallback->m_application.c_str(), LOG_PID, LOG_USER);
        }
    }
    return g_instance.load();
}

void Logger::setMinLevel(const std::string& level) {
    for (int i = 0; i <= static_cast<int>(Level::Fatal); ++i) {
        if (level == kLevelNames[i]) {
            m_minLevel = static_cast<Level>(i);
            return;
        }
    }
    error("Unknown log level '%s'; the level stays '%s'", level.c_str(), getMinLevel().c_str());
}

std::string Logger::getMinLevel() const {
    return kLevelNames[static_cast<int>(m_minLevel.load())];
}

void Logger::setObserver(std::function<void(Level, const std::string&)> observer) {
    std::lock_guard<std::mutex> lock(m_observerMutex);
    m_observer = std::move(observer);
}

#define TARVOLT_LOG_AT(LEVEL) \
    if (!isEnabled(LEVEL))    \
        return;               \
    va_list args;             \
    va_start(args, format);   \
    log(LEVEL, format, args); \
    va_end(args)

void Logger::debug(const char* format, ...) {
    TARVOLT_LOG_AT(Level::Debug);
}
void Logger::info(const char* format, ...) {
    TARVOLT_LOG_AT(Level::Info);
}
void Logger::warn(const char* format, ...) {
    TARVOLT_LOG_AT(Level::Warning);
}
void Logger::error(const char* format, ...) {
    TARVOLT_LOG_AT(Level::Error);
}
void Logger::fatal(const char* format, ...) {
    TARVOLT_LOG_AT(Level::Fatal);
}

#undef TARVOLT_LOG_AT

void Logger::log(Level level, const char* format, va_list args) {
    std::string message = formatMessage(format, args);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    message = escapeControls(message);
    int index = static_cast<int>(level);
    syslog(kSyslogPriorities[index], "%s: %s", kConsoleNames[index], message.c_str());
    if (m_console) {
        std::string line = isoTimestampNow() + " " + m_application + " " + kConsoleNames[index] +
                           ": " + message + "\n";
        std::lock_guard<std::mutex> lock(g_consoleMutex);
        writeAll(STDERR_FILENO, line);
    }
    std::function<void(Level, const std::string&)> observer;
    {
        std::lock_guard<std::mutex> lock(m_observerMutex);
        observer = m_observer;
    }
    if (observer)
        observer(level, message);
}
