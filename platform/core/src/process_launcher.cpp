#include "process_launcher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

extern char** environ;

namespace {

// The current environment with `extra` set (replacing variables of the same
// name).
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string variable(*entry);
        std::string name = variable.substr(0, variable.find('='));
        if (extra.count(name) == 0)
            variables.push_back(variable);
    }
    for (const auto& [name, value] : extra)
        variables.push_back(name + "=" + value);
    return variables;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& text : strings)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Sets up the child's standard output and error and closes everything else.
bool prepareFiles(posix_spawn_file_actions_t& actions, const std::string& logFile) {
    return posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(),
                                            O_WRONLY | O_CREAT | O_APPEND, 0644) == 0 &&
           posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO) == 0 &&
           posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
}

bool prepareAttributes(posix_spawnattr_t& attributes) {
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) {
        sigaddset(&defaults, signalNumber);
    }
    return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                     POSIX_SPAWN_SETPGROUP) == 0 &&
           posix_spawnattr_setsigmask(&attributes, &empty) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
           posix_spawnattr_setpgroup(&attributes, 0) == 0;
}

}  // namespace

bool PosixProcessLauncher::executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

pid_t PosixProcessLauncher::launch(const std::string& path, const std::vector<std::string>& args,
                                   const std::map<std::string, std::string>& env,
                                   const std::string& logFile, std::string& error) {
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envp = environmentWith(env);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envpPointers = pointers(envp);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    pid_t pid = -1;
    int result = EINVAL;
    if (prepareFiles(actions, logFile) && prepareAttributes(attributes)) {
        result = posix_spawn(&pid, path.c_str(), &actions, &attributes, argvPointers.data(),
                             envpPointers.data());
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        error = std::strerror(result);
        return -1;
    }
    return pid;
}

bool PosixProcessLauncher::reap(pid_t pid, std::string& description) {
    int status = 0;
    pid_t result = ::waitpid(pid, &status, WNOHANG);
    if (result == 0)
        return false;
    if (result < 0) {
        description = "lost (" + std::string(std::strerror(errno)) + ")";
        return true;
    }
    if (WIFEXITED(status)) {
        description = "exit status " + std::to_string(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        description =
            "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    } else {
        return false;  // stopped or continued, still alive
    }
    return true;
}

void PosixProcessLauncher::signal(pid_t pid, int signalNumber) {
    if (pid > 0)
        ::kill(pid, signalNumber);
}
