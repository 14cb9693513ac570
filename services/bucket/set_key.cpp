// set_key: the text and the digest of an attribute set.
#include "set_key.h"

#include "sha256.h"

namespace set_key {

std::string textOf(const Bucket::Attributes& attributes) {
    std::string text;
    for (const auto& [name, value] : attributes) {
        text +=
            std::to_string(name.size()) + ':' + name + std::to_string(value.size()) + ':' + value;
    }
    return text;
}

std::string keyOf(const Bucket::Attributes& attributes) {
    const std::string text = textOf(attributes);
    Sha256 digest;
    digest.update(text.data(), text.size());
    return digest.hexDigest();
}

}  // namespace set_key
