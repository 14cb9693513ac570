#include "delimiter_scanner.h"

#include <algorithm>
#include <stdexcept>

DelimiterScanner::DelimiterScanner(std::string delimiter) : m_delimiter(std::move(delimiter)) {
    if (m_delimiter.empty()) {
        throw std::invalid_argument("empty delimiter");
    }
    m_failure.assign(m_delimiter.size(), 0);
    size_t matched = 0;
    for (size_t i = 1; i < m_delimiter.size(); ++i) {
        while (matched > 0 && m_delimiter[i] != m_delimiter[matched]) {
            matched = m_failure[matched - 1];
        }
        if (m_delimiter[i] == m_delimiter[matched]) {
            ++matched;
        }
        m_failure[i] = matched;
    }
    m_search = std::make_unique<DelimiterSearch>(m_delimiter);
}

// KMP step: the length of the delimiter prefix the stream ends with after
// `byte`, given that it ended with `matched` bytes of it before.
size_t DelimiterScanner::advance(size_t matched, char byte) const {
    while (matched > 0 && m_delimiter[matched] != byte) {
        matched = m_failure[matched - 1];
    }
    return m_delimiter[matched] == byte ? matched + 1 : 0;
}

DelimiterScanner::Result DelimiterScanner::scan(const char* data, size_t size) {
    const size_t heldBefore = m_held;
    size_t bulkStart = 0;
    Result result;
    if (m_held > 0 && continueHeldMatch(data, size, &result, &bulkStart)) {
        return result;
    }
    return searchBulk(data, size, bulkStart, heldBefore);
}

// Extends the partial match carried over from earlier chunks byte by byte.
// Returns true with *result set when the match completes or the chunk ends
// while the candidate still starts among the held bytes; returns false when
// the candidate now starts inside this chunk, at *bulkStart.
bool DelimiterScanner::continueHeldMatch(const char* data, size_t size, Result* result,
                                         size_t* bulkStart) {
    const size_t heldBefore = m_held;
    size_t matched = m_held;
    size_t i = 0;
    while (i < size && matched > i) {
        matched = advance(matched, data[i]);
        ++i;
        if (matched == m_delimiter.size()) {
            m_held = 0;
            *result = makeResult(heldBefore + i - matched, heldBefore, i, true);
            return true;
        }
    }
    if (matched > i) {
        m_held = matched;
        *result = makeResult(heldBefore + size - matched, heldBefore, size, false);
        return true;
    }
    m_held = 0;
    *bulkStart = i - matched;
    return false;
}

DelimiterScanner::Result DelimiterScanner::searchBulk(const char* data, size_t size, size_t start,
                                                      size_t heldBefore) {
    const char* end = data + size;
    const char* hit = m_search->find(data + start, end);
    if (hit != end) {
        const size_t offset = static_cast<size_t>(hit - data);
        m_held = 0;
        return makeResult(heldBefore + offset, heldBefore, offset + m_delimiter.size(), true);
    }
    // No delimiter: hold the longest tail that could still begin one.
    const size_t tail = std::min(m_delimiter.size() - 1, size - start);
    size_t matched = 0;
    for (const char* p = end - tail; p < end; ++p) {
        matched = advance(matched, *p);
    }
    m_held = matched;
    return makeResult(heldBefore + size - matched, heldBefore, size, false);
}

// Splits the first `emitEnd` bytes of (held bytes + chunk) into the two
// ranges of a Result.
DelimiterScanner::Result DelimiterScanner::makeResult(size_t emitEnd, size_t heldBefore,
                                                      size_t consumed, bool found) const {
    Result result;
    result.heldData = m_delimiter.data();
    result.heldBytes = std::min(emitEnd, heldBefore);
    result.chunkBytes = emitEnd > heldBefore ? emitEnd - heldBefore : 0;
    result.consumed = consumed;
    result.found = found;
    return result;
}
