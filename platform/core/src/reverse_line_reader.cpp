#include "reverse_line_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

ReverseLineReader::ReverseLineReader(int fd, off_t end, size_t maxLine)
    : m_fd(fd), m_maxLine(maxLine), m_start(std::max<off_t>(end, 0)) {}

bool ReverseLineReader::previous(std::string& line) {
    for (;;) {
        const size_t newline = m_carry.rfind('\n');
        if (newline != std::string::npos) {
            line.assign(m_carry, newline + 1, std::string::npos);
            m_carry.resize(newline);
        } else if (m_start == 0 || m_failed) {
            if (m_failed || m_carry.empty())
                return false;
            line.swap(m_carry);
            m_carry.clear();
        } else {
            if (m_carry.size() > m_maxLine ? !skipLongLine() : !readMore())
                return false;
            continue;
        }
        if (line.size() > m_maxLine) {
            line.clear();
            continue;
        }
        if (!line.empty())
            return true;
    }
}

bool ReverseLineReader::readMore() {
    // Growing reads keep the copies of a long line linear in its length.
    const size_t wanted = std::max(kChunk, m_carry.size());
    const size_t size = static_cast<size_t>(std::min<off_t>(m_start, static_cast<off_t>(wanted)));
    std::string chunk(size, '\0');
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(m_fd, chunk.data() + done, size - done,
                                    m_start - static_cast<off_t>(size) + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            m_failed = true;
            return false;
        }
        done += static_cast<size_t>(got);
    }
    m_start -= static_cast<off_t>(size);
    m_carry.insert(0, chunk);
    return true;
}

bool ReverseLineReader::skipLongLine() {
    // Nothing of the long line is needed: keep only what precedes it.
    m_carry.clear();
    for (;;) {
        if (m_start == 0)
            return true;
        if (!readMore())
            return false;
        const size_t newline = m_carry.rfind('\n');
        if (newline != std::string::npos) {
            m_carry.resize(newline + 1);
            return true;
        }
        m_carry.clear();
    }
}
