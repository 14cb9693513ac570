#include "header_value.h"

#include <cstring>
#include <stdexcept>

namespace {

bool isTokenChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isBoundaryChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return c != '\0' && std::strchr("'()+_,-./:=? ", c) != nullptr;
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// Reads the characters of a header value one construct at a time.
class ValueReader {
  public:
    ValueReader(const std::string& text, const std::string& fieldName)
        : m_text(text), m_field(fieldName) {}

    bool atEnd() const { return m_pos >= m_text.size(); }
    char peek() const { return atEnd() ? '\0' : m_text[m_pos]; }
    void skip() { ++m_pos; }

    void skipSpace() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t')) {
            ++m_pos;
        }
    }

    // A token; `allowSlash` also admits '/' (for "type/subtype").
    std::string token(bool allowSlash, const char* what) {
        const size_t start = m_pos;
        while (!atEnd() && (isTokenChar(peek()) || (allowSlash && peek() == '/'))) {
            ++m_pos;
        }
        if (m_pos == start) {
            fail(std::string("expected ") + what);
        }
        return m_text.substr(start, m_pos - start);
    }

    std::string quotedString() {
        std::string value;
        skip();  // opening quote
        while (!atEnd() && peek() != '"') {
            if (peek() == '\\') {
                skip();
                if (atEnd()) {
                    break;
                }
            }
            value += peek();
            skip();
        }
        if (atEnd()) {
            fail("unterminated quoted string");
        }
        skip();  // closing quote
        return value;
    }

    [[noreturn]] void fail(const std::string& reason) const {
        throw std::runtime_error("malformed " + m_field + " header: " + reason);
    }

  private:
    const std::string& m_text;
    const std::string& m_field;
    size_t m_pos = 0;
};

void readParameter(ValueReader& reader, HeaderValue& value) {
    std::string name = lowerCase(reader.token(false, "a parameter name"));
    reader.skipSpace();
    if (reader.peek() != '=') {
        reader.fail("parameter '" + name + "' has no value");
    }
    reader.skip();
    reader.skipSpace();
    std::string parameter =
        reader.peek() == '"' ? reader.quotedString() : reader.token(false, "a parameter value");
    if (!value.parameters.emplace(name, std::move(parameter)).second) {
        reader.fail("parameter '" + name + "' is given twice");
    }
}

}  // namespace

HeaderValue parseHeaderValue(const std::string& text, const std::string& fieldName) {
    ValueReader reader(text, fieldName);
    HeaderValue value;
    reader.skipSpace();
    value.type = lowerCase(reader.token(true, "a type"));
    for (;;) {
        reader.skipSpace();
        if (reader.atEnd()) {
            return value;
        }
        if (reader.peek() != ';') {
            reader.fail("expected ';' between parameters");
        }
        reader.skip();
        reader.skipSpace();
        if (reader.atEnd()) {
            return value;  // a trailing ';' is tolerated
        }
        readParameter(reader, value);
    }
}

bool isFormDataContentType(const std::string& contentType) {
    try {
        return parseHeaderValue(contentType, "Content-Type").type == "multipart/form-data";
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::string multipartBoundary(const std::string& contentType) {
    if (contentType.empty()) {
        throw std::runtime_error("the request has no Content-Type; expected multipart/form-data");
    }
    HeaderValue value = parseHeaderValue(contentType, "Content-Type");
    if (value.type != "multipart/form-data") {
        throw std::runtime_error("the request's Content-Type is " + value.type +
                                 ", not multipart/form-data");
    }
    auto found = value.parameters.find("boundary");
    if (found == value.parameters.end()) {
        throw std::runtime_error("the multipart/form-data Content-Type has no boundary parameter");
    }
    const std::string& boundary = found->second;
    bool valid = !boundary.empty() && boundary.size() <= 70 && boundary.back() != ' ';
    for (char c : boundary) {
        valid = valid && isBoundaryChar(c);
    }
    if (!valid) {
        throw std::runtime_error(
            "the multipart boundary must be 1 to 70 characters of letters, "
            "digits and '()+_,-./:=? (not ending in a blank)");
    }
    return boundary;
}
