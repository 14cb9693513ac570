// The process logger: printf-style messages at the levels "debug", "info",
// "warning", "error" and "fatal", written to syslog under the application
// name and, while console output is on (the default; a detached daemon has
// its standard error on /dev/null), to standard error as
// "YYYY-MM-DDTHH:MM:SS.mmmZ <application> LEVEL: message". Trailing line
// ends are dropped and every other control character of a message but the
// tab is written as an escape ("\n", "\r", "\x1b"), so one message is one
// line whatever text it quotes.
//
// The first Logger constructed becomes the process logger returned by
// `getLogger`; destroying it clears that pointer.
//
// Thread-safety: all members may be called from any thread at once.
#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>

class Logger {
  public:
    enum class Level { Debug = 0, Info = 1, Warning = 2, Error = 3, Fatal = 4 };

    // Creates a logger named `application` (the syslog identity) with the
    // minimum level "warning".
    explicit Logger(const std::string& application);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // The process logger. When none exists yet a logger named "tarvolt" is
    // created and kept for the life of the process; never null.
    static Logger* getLogger();

    // Sets the minimum level from its name ("debug", "info", "warning",
    // "error", "fatal"); an unknown name is reported as an error and leaves
    // the level unchanged.
    void setMinLevel(const std::string& level);
    std::string getMinLevel() const;
    bool isEnabled(Level level) const { return level >= m_minLevel.load(); }

    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void fatal(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Turns the copy on standard error on or off.
    void setConsoleOutput(bool enabled) { m_console = enabled; }

    // Test seam: every formatted message that passes the level filter is
    // also handed to `observer` (null removes it).
    void setObserver(std::function<void(Level, const std::string&)> observer);

    const std::string& getApplication() const { return m_application; }

  private:
    void log(Level level, const char* format, va_list args);

    std::string m_application;
    std::atomic<Level> m_minLevel{Level::Warning};
    std::atomic<bool> m_console{true};
    std::mutex m_observerMutex;
    std::function<void(Level, const std::string&)> m_observer;
};
