#include "multipart_parser.h"

#include <algorithm>
#include <stdexcept>

namespace {

// The body is scanned as if it began with CRLF, so the first delimiter needs
// no special case: "--boundary" at the very start matches "\r\n--boundary".
constexpr size_t kImpliedLineBreak = 2;

}  // namespace

MultipartParser::MultipartParser(const std::string& boundary, MultipartHandler& handler,
                                 const FormLimits& limits)
    : m_handler(handler), m_limits(limits), m_scanner("\r\n--" + boundary) {
    m_scanner.setHeldBytes(kImpliedLineBreak);
}

void MultipartParser::feed(const char* data, size_t size) {
    if (!m_error.empty()) {
        throw std::runtime_error(m_error);
    }
    try {
        while (size > 0) {
            const size_t used = step(data, size);
            data += used;
            size -= used;
        }
    } catch (const std::exception& error) {
        m_error = error.what();
        throw;
    }
}

void MultipartParser::finish() {
    if (!m_error.empty()) {
        throw std::runtime_error(m_error);
    }
    if (m_state == State::Preamble) {
        fail("the body holds no multipart boundary delimiter");
    }
    if (m_state != State::Epilogue) {
        fail("the multipart body ends before its closing boundary delimiter");
    }
}

void MultipartParser::fail(const std::string& message) {
    m_error = message;
    throw std::runtime_error(message);
}

size_t MultipartParser::step(const char* data, size_t size) {
    switch (m_state) {
        case State::Preamble:
            return consumePreamble(data, size);
        case State::Headers:
            return consumeHeaders(data, size);
        case State::Body:
            return consumeBody(data, size);
        case State::Epilogue:
            return size;
        default:
            return consumeDelimiterLine(data[0]);
    }
}

size_t MultipartParser::consumePreamble(const char* data, size_t size) {
    const DelimiterScanner::Result found = m_scanner.scan(data, size);
    m_preambleBytes += found.heldBytes + found.chunkBytes;
    if (m_preambleBytes > m_limits.maxPreambleBytes + kImpliedLineBreak) {
        fail("the preamble before the first boundary exceeds " +
             std::to_string(m_limits.maxPreambleBytes) + " bytes");
    }
    if (found.found) {
        m_state = State::DelimiterLine;
        m_headerBudget = m_limits.maxHeaderBytes;
    }
    return found.consumed;
}

// The bytes after "--boundary": "--" closes the form; otherwise optional
// blanks (transport padding) and CRLF start the next part's headers.
size_t MultipartParser::consumeDelimiterLine(char byte) {
    const bool blank = byte == ' ' || byte == '\t';
    if (m_state == State::DelimiterLine && byte == '-') {
        m_state = State::CloseDash;
    } else if (m_state == State::CloseDash && byte == '-') {
        m_state = State::Epilogue;
    } else if ((m_state == State::DelimiterLine || m_state == State::Padding) && blank) {
        m_state = State::Padding;
        if (m_headerBudget == 0) {
            fail("the padding after a boundary delimiter is too long");
        }
        --m_headerBudget;
    } else if ((m_state == State::DelimiterLine || m_state == State::Padding) && byte == '\r') {
        m_state = State::LineFeed;
    } else if (m_state == State::LineFeed && byte == '\n') {
        beginPart();
    } else {
        fail("a boundary delimiter line is malformed");
    }
    return 1;
}

void MultipartParser::beginPart() {
    if (++m_parts > m_limits.maxParts) {
        fail("the form has more than " + std::to_string(m_limits.maxParts) + " parts");
    }
    m_headerBlock.assign("\r\n");
    m_state = State::Headers;
}

// Collects the header block up to the blank line, within the budget.
size_t MultipartParser::consumeHeaders(const char* data, size_t size) {
    const size_t old = m_headerBlock.size();
    const size_t capacity = m_headerBudget + kImpliedLineBreak;
    const size_t take = std::min(size, capacity - old);
    m_headerBlock.append(data, take);
    const size_t end = m_headerBlock.find("\r\n\r\n", old >= 3 ? old - 3 : 0);
    if (end == std::string::npos) {
        if (m_headerBlock.size() >= capacity) {
            fail("a part's header block exceeds " + std::to_string(m_limits.maxHeaderBytes) +
                 " bytes");
        }
        return take;
    }
    const size_t used = end + 4 - old;
    const PartHeaders headers =
        parsePartHeaders(end > kImpliedLineBreak ? m_headerBlock.substr(2, end - 2) : "");
    m_headerBlock.clear();
    m_handler.onPartBegin(headers);
    m_state = State::Body;
    m_scanner.setHeldBytes(0);
    return used;
}

size_t MultipartParser::consumeBody(const char* data, size_t size) {
    const DelimiterScanner::Result found = m_scanner.scan(data, size);
    if (found.heldBytes > 0) {
        m_handler.onPartData(found.heldData, found.heldBytes);
    }
    if (found.chunkBytes > 0) {
        m_handler.onPartData(data, found.chunkBytes);
    }
    if (found.found) {
        m_handler.onPartEnd();
        m_state = State::DelimiterLine;
        m_headerBudget = m_limits.maxHeaderBytes;
    }
    return found.consumed;
}
