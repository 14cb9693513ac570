#include "category_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core_json.h"
#include "file_util.h"

namespace {

bool isWholeNumber(const std::string& text) {
    size_t start = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() == start || text.size() > 20)
        return false;
    return std::all_of(text.begin() + start, text.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// Why `value` does not suit `item`, or an empty string.
std::string unsuitableValue(const ConfigCategory::Item& item, const std::string& value) {
    if (item.type == "enumeration" &&
        std::find(item.options.begin(), item.options.end(), value) == item.options.end()) {
        return "The value '" + value + "' is not one of the options of item '" + item.name + "'";
    }
    if (item.type == "integer" && !isWholeNumber(value)) {
        return "Item '" + item.name + "' needs a whole number";
    }
    if (item.type == "boolean" && value != "true" && value != "false") {
        return "Item '" + item.name + "' needs true or false";
    }
    return "";
}

// The value member of a set-item body as text; strings as they are, numbers
// and booleans as their JSON text.
std::optional<std::string> valueOf(const rapidjson::Document& body) {
    const rapidjson::Value* value = core_json::member(body, "value");
    if (value == nullptr)
        return std::nullopt;
    if (value->IsString())
        return std::string(value->GetString(), value->GetStringLength());
    if (value->IsNumber() || value->IsBool())
        return core_json::render(*value);
    return std::nullopt;
}

// Applies the values (and the items missing from `fresh`) of `old`.
void keepOriginalItems(ConfigCategory& fresh, const ConfigCategory& old) {
    for (const auto& item : old.getItems()) {
        if (fresh.itemExists(item.name)) {
            fresh.setValue(item.name, item.value);
        } else {
            fresh.addItem(item);
        }
    }
}

}  // namespace

std::string invalidCategoryName(const std::string& name) {
    if (name.empty())
        return "The category name is empty";
    if (name.size() > 255)
        return "The category name is longer than 255 characters";
    if (name.find('\\') != std::string::npos)
        return "The category name contains a backslash";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f)
            return "The category name contains a control character";
    }
    return "";
}

CategoryStore::CategoryStore(std::string file) : m_file(std::move(file)) {}

bool CategoryStore::load(std::string& message) {
    std::string text;
    if (m_file.empty())
        return true;
    const int readError = readWholeFile(m_file, text);
    if (readError == ENOENT)
        return true;
    if (readError != 0) {
        message = "Cannot read " + m_file;
        return false;
    }
    rapidjson::Document document;
    std::string error;
    Categories loaded;
    bool parsed = core_json::parseObject(text, document, error);
    const rapidjson::Value* list = parsed ? core_json::member(document, "categories") : nullptr;
    try {
        if (list == nullptr || !list->IsArray())
            throw std::invalid_argument("no category list");
        for (const auto& entry : list->GetArray()) {
            auto key = core_json::stringMember(entry, "key");
            const rapidjson::Value* value = core_json::member(entry, "value");
            if (!key || value == nullptr)
                throw std::invalid_argument("a category lacks its key");
            Stored stored{ConfigCategory(*key, core_json::render(*value)), {}};
            stored.category.setDescription(
                core_json::stringMember(entry, "description").value_or(""));
            stored.category.setDisplayName(
                core_json::stringMember(entry, "displayName").value_or(""));
            const rapidjson::Value* children = core_json::member(entry, "children");
            for (size_t i = 0; children && children->IsArray() && i < children->Size(); ++i) {
                if ((*children)[i].IsString())
                    stored.children.push_back((*children)[i].GetString());
            }
            loaded[*key] = std::move(stored);
        }
    } catch (const std::exception& e) {
        std::string aside = m_file + ".corrupt-" + std::to_string(std::time(nullptr));
        std::rename(m_file.c_str(), aside.c_str());
        message = "The configuration file " + m_file + " is damaged (" +
                  (parsed ? e.what() : error) + "); it was moved to " + aside +
                  " and the configuration starts empty";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_categories = std::move(loaded);
    return true;
}

CoreResult CategoryStore::create(const std::string& body, bool keepOriginal,
                                 std::optional<Change>& change) {
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(body, document, error))
        return CoreResult::failure(400, error);
    auto key = core_json::stringMember(document, "key");
    if (!key)
        return CoreResult::failure(400, "The category needs a string \"key\"");
    std::string invalid = invalidCategoryName(*key);
    if (!invalid.empty())
        return CoreResult::failure(400, invalid);
    const rapidjson::Value* value = core_json::member(document, "value");
    if (value == nullptr || !value->IsObject()) {
        return CoreResult::failure(400, "The category needs its items as an object \"value\"");
    }
    Stored fresh;
    try {
        fresh.category = ConfigCategory(*key, core_json::render(*value));
    } catch (const std::invalid_argument& e) {
        return CoreResult::failure(400, e.what());
    }
    fresh.category.setDescription(core_json::stringMember(document, "description").value_or(""));
    fresh.category.setDisplayName(core_json::stringMember(document, "display_name").value_or(""));

    std::lock_guard<std::mutex> lock(m_mutex);
    Categories next = m_categories;
    auto existing = next.find(*key);
    if (existing != next.end()) {
        const ConfigCategory& old = existing->second.category;
        if (keepOriginal)
            keepOriginalItems(fresh.category, old);
        if (fresh.category.getDisplayName().empty()) {
            fresh.category.setDisplayName(old.getDisplayName());
        }
        fresh.children = existing->second.children;
        if (fresh.category.itemsToJSON() != old.itemsToJSON()) {
            change = Change{*key, fresh.category.itemsToJSON()};
        }
    }
    std::string answer = categoryJSON(fresh.category);
    next[*key] = std::move(fresh);
    if (!commit(std::move(next), error))
        return CoreResult::failure(500, error);
    return CoreResult::success(answer);
}

CoreResult CategoryStore::get(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_categories.find(name);
    if (it == m_categories.end())
        return CoreResult::failure(404, "No such category: " + name);
    return CoreResult::success(categoryJSON(it->second.category));
}

CoreResult CategoryStore::items(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_categories.find(name);
    if (it == m_categories.end())
        return CoreResult::failure(404, "No such category: " + name);
    return CoreResult::success(it->second.category.itemsToJSON());
}

CoreResult CategoryStore::children(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_categories.find(name);
    if (it == m_categories.end())
        return CoreResult::failure(404, "No such category: " + name);
    std::string json = "{ \"categories\" : [";
    const char* separator = " ";
    for (const auto& child : it->second.children) {
        auto stored = m_categories.find(child);
        std::string description =
            stored == m_categories.end() ? "" : stored->second.category.getDescription();
        json += separator + std::string("{ \"key\" : ") + JSONquote(child) +
                ", \"description\" : " + JSONquote(description) + " }";
        separator = ", ";
    }
    return CoreResult::success(json + " ] }");
}

CoreResult CategoryStore::addChildren(const std::string& parent, const std::string& body,
                                      std::vector<ChildAdded>& added) {
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(body, document, error))
        return CoreResult::failure(400, error);
    const rapidjson::Value* list = core_json::member(document, "children");
    if (list == nullptr || !list->IsArray()) {
        return CoreResult::failure(400, "The request needs a list \"children\"");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Categories next = m_categories;
    auto it = next.find(parent);
    if (it == next.end())
        return CoreResult::failure(404, "No such category: " + parent);
    std::vector<std::string>& children = it->second.children;
    for (const auto& entry : list->GetArray()) {
        if (!entry.IsString())
            return CoreResult::failure(400, "Child names must be strings");
        std::string child(entry.GetString(), entry.GetStringLength());
        auto stored = next.find(child);
        if (stored == next.end())
            return CoreResult::failure(404, "No such category: " + child);
        if (child == parent)
            return CoreResult::failure(400, "A category cannot be its own child");
        if (std::find(children.begin(), children.end(), child) != children.end())
            continue;
        children.push_back(child);
        added.push_back({parent, child, stored->second.category.itemsToJSON()});
    }
    std::string json = "{ \"children\" : [ ";
    for (size_t i = 0; i < children.size(); ++i)
        json += (i ? ", " : "") + JSONquote(children[i]);
    json += " ] }";
    if (!added.empty() && !commit(std::move(next), error)) {
        added.clear();
        return CoreResult::failure(500, error);
    }
    return CoreResult::success(json);
}

CoreResult CategoryStore::setItem(const std::string& name, const std::string& item,
                                  const std::string& body, std::optional<Change>& change) {
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(body, document, error))
        return CoreResult::failure(400, error);
    std::optional<std::string> value = valueOf(document);
    if (!value)
        return CoreResult::failure(400, "The request needs a string \"value\"");
    std::lock_guard<std::mutex> lock(m_mutex);
    Categories next = m_categories;
    auto it = next.find(name);
    if (it == next.end())
        return CoreResult::failure(404, "No such category: " + name);
    const ConfigCategory::Item* current = it->second.category.findItem(item);
    if (current == nullptr) {
        return CoreResult::failure(404, "Category " + name + " has no item " + item);
    }
    std::string unsuitable = unsuitableValue(*current, *value);
    if (!unsuitable.empty())
        return CoreResult::failure(400, unsuitable);
    bool changed = current->value != *value;
    it->second.category.setValue(item, *value);
    ConfigCategory single;
    single.addItem(*it->second.category.findItem(item));
    std::string answer = single.itemsToJSON();
    if (changed) {
        change = Change{name, it->second.category.itemsToJSON()};
        if (!commit(std::move(next), error)) {
            change.reset();
            return CoreResult::failure(500, error);
        }
    }
    return CoreResult::success(answer);
}

CoreResult CategoryStore::addInterest(const std::string& category,
                                      const std::string& registrationId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_categories.count(category) == 0) {
        return CoreResult::failure(404, "No such category: " + category);
    }
    m_interests[category].insert(registrationId);
    return CoreResult::success("{ \"category\" : " + JSONquote(category) +
                               ", \"registration\" : " + JSONquote(registrationId) + " }");
}

std::vector<std::string> CategoryStore::interestedIn(const std::string& category) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_interests.find(category);
    if (it == m_interests.end())
        return {};
    return std::vector<std::string>(it->second.begin(), it->second.end());
}

void CategoryStore::removeInterests(const std::string& registrationId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [category, registrations] : m_interests)
        registrations.erase(registrationId);
}

bool CategoryStore::commit(Categories categories, std::string& error) {
    if (!m_file.empty()) {
        FileStatus status = writeFileAtomically(m_file, render(categories));
        if (!status.ok()) {
            error = "Cannot save the configuration: " + status.message();
            return false;
        }
    }
    m_categories = std::move(categories);
    return true;
}

std::string CategoryStore::categoryJSON(const ConfigCategory& category) {
    return category.toJSON();
}

std::string CategoryStore::render(const Categories& categories) {
    std::string json = "{ \"categories\" : [\n";
    const char* separator = "";
    for (const auto& [name, stored] : categories) {
        std::string entry = stored.category.toJSON();
        entry.pop_back();  // reopen the object to append the children
        entry += ", \"children\" : [ ";
        for (size_t i = 0; i < stored.children.size(); ++i) {
            entry += (i ? ", " : "") + JSONquote(stored.children[i]);
        }
        json += separator + entry + " ] }";
        separator = ",\n";
    }
    return json + "\n] }\n";
}
