// powercut-fs mounted for a test: the file system runs over the directory
// "backing" under a base directory and shows it at "mnt" beside it; writing
// "cut" to the control file drops everything not yet made durable.
// Destroying the object unmounts it and ends the file system's process.
//
// Thread-safety: one object is used by one thread.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace powercut {

class Mount {
  public:
    // Mounts the file system `program` (the powercut-fs executable) at
    // `base`/mnt over `base`/backing and waits up to 5 s for it; `mounted`
    // tells whether it came up (no /dev/fuse or no right to mount: false).
    Mount(const std::string& base, const std::string& program)
        : m_backing(base + "/backing"), m_point(base + "/mnt") {
        mkdir(m_backing.c_str(), 0755);
        mkdir(m_point.c_str(), 0755);
        m_pid = fork();
        if (m_pid == 0) {
            execl(program.c_str(), program.c_str(), m_backing.c_str(), m_point.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !mounted(); i++) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Mount() {
        if (m_pid > 0) {
            std::system(("fusermount3 -u " + m_point + " 2>/dev/null").c_str());
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    bool mounted() const { return access((m_point + "/.powercut").c_str(), F_OK) == 0; }
    // The mount point.
    const std::string& point() const { return m_point; }
    // Writes `word` ("cut", "sync") to the control file.
    void control(const std::string& word) const { std::ofstream(m_point + "/.powercut") << word; }

  private:
    std::string m_backing;
    std::string m_point;
    pid_t m_pid = -1;
};

}  // namespace powercut
