// S3Client::list: ListObjectsV2, one page at a time, keys URL-encoded by
// the store (encoding-type=url) so that no byte of a key is lost to XML.
#include <string>

#include "replication/s3_client.h"
#include "s3_request.h"

namespace replication {

namespace {

// The text between the first "<tag>" at or after `from` and its "</tag>";
// `from` moves past it. False when there is none.
bool nextElement(const std::string& xml, const std::string& tag, size_t& from, std::string* text) {
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    const size_t start = xml.find(open, from);
    const size_t end = start == std::string::npos ? start : xml.find(close, start);
    if (end == std::string::npos) {
        return false;
    }
    *text = xml.substr(start + open.size(), end - start - open.size());
    from = end + close.size();
    return true;
}

std::string xmlText(const std::string& text) {
    static const std::pair<const char*, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        bool replaced = false;
        for (const auto& [entity, c] : kEntities) {
            const std::string name = entity;
            if (text.compare(i, name.size(), name) == 0) {
                plain += c;
                i += name.size() - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            plain += text[i];
        }
    }
    return plain;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A key as encoding-type=url writes it: %XX escapes, '+' for a blank.
std::string urlDecoded(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            plain += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            plain += text[i] == '+' ? ' ' : text[i];
        }
    }
    return plain;
}

}  // namespace

StoreResult S3Client::list(const std::string& prefix, const std::string& token, KeyPage* page) {
    // The query in the canonical order the signature wants: names sorted.
    std::string query;
    if (!token.empty()) {
        query = "continuation-token=" + uriEncode(token, false) + "&";
    }
    query += "encoding-type=url&list-type=2&max-keys=" + std::to_string(m_config.listPageSize) +
             "&prefix=" + uriEncode(prefix, false);
    auto listing = request("GET", objectUrl("", query));
    StoreResult result = listing->perform();
    if (!result.ok) {
        return result;
    }
    const std::string& xml = listing->responseBody();
    *page = KeyPage();
    std::string text;
    for (size_t at = 0; nextElement(xml, "Key", at, &text);) {
        page->keys.push_back(urlDecoded(xmlText(text)));
    }
    size_t at = 0;
    const bool truncated = nextElement(xml, "IsTruncated", at, &text) && text == "true";
    at = 0;
    if (truncated && nextElement(xml, "NextContinuationToken", at, &text)) {
        page->next = xmlText(text);
    }
    if (truncated && page->next.empty()) {
        return StoreResult::failure(result.status, "a truncated listing came without its token");
    }
    return result;
}

}  // namespace replication
