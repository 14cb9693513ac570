#include "core_json.h"

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "json_util.h"

namespace core_json {

bool parseValue(const std::string& text, rapidjson::Document& document, std::string& error) {
    if (!JSONnestingWithin(text, kMaxNesting)) {
        error = "The JSON text is nested too deeply";
        return false;
    }
    document.Parse(text.data(), text.size());
    if (document.HasParseError()) {
        error = std::string("Invalid JSON: ") +
                rapidjson::GetParseError_En(document.GetParseError()) + " (at offset " +
                std::to_string(document.GetErrorOffset()) + ")";
        return false;
    }
    // The parser takes a NUL byte for the end of the text: a NUL within the
    // value fails the parse, one after it would hide whatever follows.
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        error = std::string("Invalid JSON: ") +
                rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular) +
                " (at offset " + std::to_string(nul) + ")";
        return false;
    }
    return true;
}

bool parseObject(const std::string& text, rapidjson::Document& document, std::string& error) {
    if (!parseValue(text, document, error))
        return false;
    if (!document.IsObject()) {
        error = "The request body must be a JSON object";
        return false;
    }
    return true;
}

const rapidjson::Value* member(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject())
        return nullptr;
    auto it = object.FindMember(name);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

std::optional<std::string> stringMember(const rapidjson::Value& object, const char* name) {
    const rapidjson::Value* value = member(object, name);
    if (value == nullptr || !value->IsString())
        return std::nullopt;
    return std::string(value->GetString(), value->GetStringLength());
}

std::string render(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace core_json
