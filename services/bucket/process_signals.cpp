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

#include "logger.h"

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

void logFrame(Logger* logger, int index, void* address, const char* symbolText) {
    char line[1024];
    Dl_info info;
    if (dladdr(address, &info) && info.dli_sname) {
        char* demangled = nullptr;
        int status = -1;
        if (info.dli_sname[0] == '_') {
            demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        }
        const char* name = (status == 0 && demangled) ? demangled : info.dli_sname;
        snprintf(line, sizeof(line), "%-3d %*p %s + %zd---------", index, 18, address, name,
                 static_cast<char*>(address) - static_cast<char*>(info.dli_saddr));
        free(demangled);
    } else {
        snprintf(line, sizeof(line), "%-3d %*p %s---------", index, 18, address, symbolText);
    }
    logger->fatal("(%d) %s", index, line);
}

}  // namespace

void handler(int signalNumber) {
    Logger* logger = Logger::getLogger();
    void* frames[kMaxFrames];
    int count = backtrace(frames, kMaxFrames);
    logger->fatal("Signal %d (%s) trapped:\n", signalNumber, strsignal(signalNumber));
    char** symbols = backtrace_symbols(frames, count);
    for (int i = 0; i < count; i++) {
        logFrame(logger, i, frames[i], symbols ? symbols[i] : "");
    }
    free(symbols);
    exit(1);
}

void installCrashHandler() {
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
    close(0);
    close(1);
    close(2);
    open("/dev/null", O_RDWR);
    dup(0);
    dup(0);
    return 0;
}
