// Incremental parser of a multipart/form-data body (RFC 7578, RFC 2046).
//
// The body may be fed in chunks of any size; delimiters, CRLFs and header
// lines may be split at any chunk edge. The parser keeps at most one part's
// header block (bounded by FormLimits::maxHeaderBytes) and never copies part
// data: it hands each run of data bytes to its MultipartHandler as soon as it
// knows the bytes are not the start of a delimiter. It refuses malformed
// bodies and exceeded limits by throwing std::runtime_error; after a throw
// every further call throws the same error.
//
// Thread-safety: one parser is used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "delimiter_scanner.h"
#include "form_limits.h"
#include "part_headers.h"

// Receives the parts of a form as the parser finds them. Exceptions thrown
// here pass through the parser's feed/finish and end the parse.
class MultipartHandler {
  public:
    virtual ~MultipartHandler() = default;
    virtual void onPartBegin(const PartHeaders& headers) = 0;
    virtual void onPartData(const char* data, size_t size) = 0;
    virtual void onPartEnd() = 0;
};

class MultipartParser {
  public:
    // `boundary` as taken from the Content-Type (without leading dashes).
    // `handler` must outlive the parser.
    MultipartParser(const std::string& boundary, MultipartHandler& handler,
                    const FormLimits& limits);
    MultipartParser(const MultipartParser&) = delete;
    MultipartParser& operator=(const MultipartParser&) = delete;

    // Parses the next `size` bytes of the body.
    void feed(const char* data, size_t size);

    // Declares the end of the body; throws unless the closing delimiter was
    // seen.
    void finish();

    size_t partCount() const { return m_parts; }

  private:
    enum class State {
        Preamble,
        DelimiterLine,
        Padding,
        CloseDash,
        LineFeed,
        Headers,
        Body,
        Epilogue
    };

    size_t step(const char* data, size_t size);
    size_t consumePreamble(const char* data, size_t size);
    size_t consumeDelimiterLine(char byte);
    size_t consumeHeaders(const char* data, size_t size);
    size_t consumeBody(const char* data, size_t size);
    void beginPart();
    void fail(const std::string& message);

    MultipartHandler& m_handler;
    FormLimits m_limits;
    DelimiterScanner m_scanner;
    State m_state = State::Preamble;
    std::string m_error;        // set once the body is refused
    std::string m_headerBlock;  // "\r\n" + header lines read so far
    size_t m_headerBudget = 0;  // header bytes the current part may still use
    size_t m_preambleBytes = 0;
    size_t m_parts = 0;
};
