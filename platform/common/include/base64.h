// Standard base64 (RFC 4648, section 4, with padding), shared by the header
// fields that carry bytes as text: digests in download answers, attribute
// values in object metadata.
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <string>

// The base64 text of `bytes`, padded with '=' to a multiple of 4.
std::string base64Encode(const std::string& bytes);

// The bytes of the padded base64 `text`; nullopt when it is not well formed
// (a length not a multiple of 4, a character outside the alphabet, padding
// anywhere but at the end).
std::optional<std::string> base64Decode(const std::string& text);
