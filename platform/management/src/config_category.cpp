#include "config_category.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "json_util.h"

namespace {

// Items are objects of plain members; deeper structures only occur inside
// item values of type JSON, which never need many levels.
constexpr size_t kMaxNesting = 64;

std::string jsonText(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// A member as text: strings as they are, anything else as its JSON text.
std::string memberText(const rapidjson::Value& value) {
    if (value.IsString())
        return std::string(value.GetString(), value.GetStringLength());
    return jsonText(value);
}

std::vector<std::string> parseOptions(const std::string& item, const rapidjson::Value& value) {
    if (!value.IsArray()) {
        throw std::invalid_argument("The options of item '" + item + "' are not a JSON array");
    }
    std::vector<std::string> options;
    for (const auto& option : value.GetArray()) {
        if (!option.IsString()) {
            throw std::invalid_argument("The options of item '" + item + "' must all be strings");
        }
        options.emplace_back(option.GetString(), option.GetStringLength());
    }
    return options;
}

ConfigCategory::Item parseItem(const std::string& name, const rapidjson::Value& value) {
    if (!value.IsObject()) {
        throw std::invalid_argument("Configuration item '" + name + "' is not a JSON object");
    }
    ConfigCategory::Item item;
    item.name = name;
    bool hasValue = false;
    for (const auto& member : value.GetObject()) {
        std::string key(member.name.GetString(), member.name.GetStringLength());
        if (key == "description") {
            item.description = memberText(member.value);
        } else if (key == "type") {
            item.type = memberText(member.value);
        } else if (key == "default") {
            item.defaultValue = memberText(member.value);
        } else if (key == "value") {
            item.value = memberText(member.value);
            hasValue = true;
        } else if (key == "displayName") {
            item.displayName = memberText(member.value);
        } else if (key == "options") {
            item.options = parseOptions(name, member.value);
        } else {
            item.extra.emplace_back(key, jsonText(member.value));
        }
    }
    if (!hasValue)
        item.value = item.defaultValue;
    return item;
}

std::string itemToJSON(const ConfigCategory::Item& item) {
    std::string json = "{ \"description\" : " + JSONquote(item.description);
    json += ", \"type\" : " + JSONquote(item.type);
    json += ", \"default\" : " + JSONquote(item.defaultValue);
    json += ", \"value\" : " + JSONquote(item.value);
    if (!item.options.empty()) {
        json += ", \"options\" : [ ";
        for (size_t i = 0; i < item.options.size(); ++i) {
            json += (i ? ", " : "") + JSONquote(item.options[i]);
        }
        json += " ]";
    }
    if (!item.displayName.empty())
        json += ", \"displayName\" : " + JSONquote(item.displayName);
    for (const auto& [name, value] : item.extra)
        json += ", " + JSONquote(name) + " : " + value;
    return json + " }";
}

}  // namespace

ConfigCategory::ConfigCategory(const std::string& name, const std::string& json) : m_name(name) {
    if (!JSONnestingWithin(json, kMaxNesting)) {
        throw std::invalid_argument("The items of category '" + name + "' are nested too deeply");
    }
    rapidjson::Document document;
    document.Parse(json.data(), json.size());
    // The parser takes a NUL byte for the end of the text; whatever follows
    // one must not be silently dropped.
    if (!document.HasParseError() && json.find('\0') != std::string::npos) {
        throw std::invalid_argument("The items of category '" + name +
                                    "' are not valid JSON: text follows a NUL byte");
    }
    if (document.HasParseError()) {
        throw std::invalid_argument("The items of category '" + name + "' are not valid JSON: " +
                                    rapidjson::GetParseError_En(document.GetParseError()));
    }
    if (!document.IsObject()) {
        throw std::invalid_argument("The items of category '" + name + "' are not a JSON object");
    }
    for (const auto& member : document.GetObject()) {
        std::string key(member.name.GetString(), member.name.GetStringLength());
        putItem(parseItem(key, member.value));
    }
}

void ConfigCategory::addItem(const std::string& name, const std::string& description,
                             const std::string& type, const std::string& defaultValue,
                             const std::string& value) {
    Item item;
    item.name = name;
    item.description = description;
    item.type = type;
    item.defaultValue = defaultValue;
    item.value = value;
    putItem(std::move(item));
}

void ConfigCategory::addItem(const std::string& name, const std::string& description,
                             const std::string& defaultValue, const std::string& value,
                             const std::vector<std::string>& options) {
    Item item;
    item.name = name;
    item.description = description;
    item.type = "enumeration";
    item.defaultValue = defaultValue;
    item.value = value;
    item.options = options;
    putItem(std::move(item));
}

void ConfigCategory::setItemDisplayName(const std::string& name, const std::string& displayName) {
    Item* item = findMutableItem(name);
    if (item != nullptr)
        item->displayName = displayName;
}

bool ConfigCategory::setValue(const std::string& name, const std::string& value) {
    Item* item = findMutableItem(name);
    if (item == nullptr)
        return false;
    item->value = value;
    return true;
}

bool ConfigCategory::itemExists(const std::string& name) const {
    return findItem(name) != nullptr;
}

std::string ConfigCategory::getValue(const std::string& name) const {
    const Item* item = findItem(name);
    if (item == nullptr) {
        throw std::out_of_range("Category '" + m_name + "' has no item '" + name + "'");
    }
    return item->value;
}

const ConfigCategory::Item* ConfigCategory::findItem(const std::string& name) const {
    for (const auto& item : m_items) {
        if (item.name == name)
            return &item;
    }
    return nullptr;
}

ConfigCategory::Item* ConfigCategory::findMutableItem(const std::string& name) {
    for (auto& item : m_items) {
        if (item.name == name)
            return &item;
    }
    return nullptr;
}

void ConfigCategory::putItem(Item item) {
    Item* existing = findMutableItem(item.name);
    if (existing != nullptr) {
        *existing = std::move(item);
    } else {
        m_items.push_back(std::move(item));
    }
}

std::string ConfigCategory::itemsToJSON() const {
    if (m_items.empty())
        return "{}";
    std::string json = "{ ";
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (i)
            json += ", ";
        json += JSONquote(m_items[i].name) + " : " + itemToJSON(m_items[i]);
    }
    return json + " }";
}

std::string ConfigCategory::toJSON() const {
    std::string json = "{ \"key\" : " + JSONquote(m_name);
    json += ", \"description\" : " + JSONquote(m_description);
    if (!m_displayName.empty())
        json += ", \"displayName\" : " + JSONquote(m_displayName);
    return json + ", \"value\" : " + itemsToJSON() + " }";
}
