#include "process_signals.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace {

constexpr int kMaxFrames = 20;
constexpr char kQuitByte = 0;

// The pipe from the stop-signal handler to the watcher thread. Created once
// per process and never closed, so a late signal never writes to a reused
// descriptor.
int g_pipe[2] = {-1, -1};
std::atomic<int> g_pipeWriteEnd{-1};

void signalHandler(int signalNumber) {
    int savedErrno = errno;
    int fd = g_pipeWriteEnd.load();
    if (fd >= 0) {
        char byte = static_cast<char>(signalNumber);
        // A full pipe already holds a pending stop; dropping this one is fine.
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

void createPipeOnce() {
    if (g_pipeWriteEnd.load() >= 0) {
        return;
    }
    if (pipe2(g_pipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    }
    fcntl(g_pipe[1], F_SETFL, fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
    g_pipeWriteEnd.store(g_pipe[1]);
}

// What the crash report may use: only async-signal-safe calls, since the
// fault may have hit inside the allocator, the logger or stdio with their
// locks held. The text is built in a fixed buffer and written to standard
// error, which is the service's log file when the core launched it.
class CrashLine {
  public:
    CrashLine& text(const char* part) {
        while (*part != '\0' && m_length < sizeof(m_buffer)) {
            m_buffer[m_length++] = *part++;
        }
        return *this;
    }
    CrashLine& number(unsigned value) {
        char digits[12];
        size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0 && m_length < sizeof(m_buffer)) {
            m_buffer[m_length++] = digits[--count];
        }
        return *this;
    }
    void write() {
        ssize_t ignored = ::write(STDERR_FILENO, m_buffer, m_length);
        (void)ignored;
        m_length = 0;
    }

  private:
    char m_buffer[256];
    size_t m_length = 0;
};

// strsignal's text for the fault signals (strsignal itself may allocate).
const char* faultName(int signalNumber) {
    switch (signalNumber) {
        case SIGSEGV:
            return "Segmentation fault";
        case SIGILL:
            return "Illegal instruction";
        case SIGBUS:
            return "Bus error";
        case SIGFPE:
            return "Floating point exception";
        case SIGABRT:
            return "Aborted";
        default:
            return "Unknown signal";
    }
}

// The application name of the process logger, copied at installation so
// that the handler reads a fixed buffer.
char g_application[64] = "tarvolt";

}  // namespace

void handler(int signalNumber) {
    void* frames[kMaxFrames];
    int count = backtrace(frames, kMaxFrames);
    CrashLine line;
    line.text(g_application).text(" FATAL: Signal ").number(static_cast<unsigned>(signalNumber));
    line.text(" (").text(faultName(signalNumber)).text(") trapped:\n").write();
    for (int i = 0; i < count; i++) {
        line.text(g_application).text(" FATAL: (").number(static_cast<unsigned>(i)).text(") ");
        line.write();
        backtrace_symbols_fd(&frames[i], 1, STDERR_FILENO);
    }
    _exit(1);
}

void installCrashHandler(const std::string& application) {
    // The first backtrace loads the unwinder, which allocates; do it now
    // rather than inside the handler.
    void* frame[1];
    backtrace(frame, 1);
    snprintf(g_application, sizeof(g_application), "%s", application.c_str());
    signal(SIGSEGV, handler);
    signal(SIGILL, handler);
    signal(SIGBUS, handler);
    signal(SIGFPE, handler);
    signal(SIGABRT, handler);
}

StopSignalWatcher::StopSignalWatcher(Callback callback) : m_callback(std::move(callback)) {
    createPipeOnce();
    m_thread = std::thread([this] { run(); });
    signal(SIGHUP, signalHandler);
    signal(SIGINT, signalHandler);
    signal(SIGTERM, signalHandler);
}

StopSignalWatcher::~StopSignalWatcher() {
    char byte = kQuitByte;
    while (write(g_pipe[1], &byte, 1) < 0 && (errno == EINTR || errno == EAGAIN)) {
        usleep(1000);
    }
    m_thread.join();
}

void StopSignalWatcher::run() {
    while (true) {
        char byte;
        ssize_t n = read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || byte == kQuitByte) {
            return;
        }
        m_callback(static_cast<unsigned char>(byte));
    }
}

int makeDaemon() {
    int logmask = setlogmask(0);
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid > 0) {
        exit(0);
    }
    if (setsid() < 0) {
        return -1;
    }
    setlogmask(logmask);
    // Standard input, output and error on /dev/null.
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) {
        return -1;
    }
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd != null && dup2(null, fd) < 0) {
            return -1;
        }
    }
    if (null > 2) {
        close(null);
    }
    return 0;
}
