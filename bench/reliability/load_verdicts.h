// The check lines of a reliability part: "[pass] ..." or "[FAIL] ..." per
// check, and the closing "<part>: N of M checks passed".
//
// Thread-safety: one thread.
#pragma once

#include <cstdio>
#include <string>

namespace load {

class Verdicts {
  public:
    explicit Verdicts(std::string part) : m_part(std::move(part)) {}

    // Prints the check's line; returns `passed`.
    bool check(bool passed, const std::string& what, const std::string& detail = "") {
        m_checks++;
        m_passed += passed ? 1 : 0;
        std::printf("[%s] %s%s%s\n", passed ? "pass" : "FAIL", what.c_str(),
                    detail.empty() ? "" : ": ", detail.c_str());
        std::fflush(stdout);
        return passed;
    }
    // Prints the closing line; true when every check passed.
    bool finish() const {
        std::printf("%s: %d of %d checks passed\n", m_part.c_str(), m_passed, m_checks);
        return m_passed == m_checks;
    }

  private:
    std::string m_part;
    int m_checks = 0;
    int m_passed = 0;
};

}  // namespace load
