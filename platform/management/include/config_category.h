// A configuration category: a name, a description, an optional display name
// and an ordered set of items (key, description, type, default, value,
// display name, enumeration options).
//
// The items' JSON text (`itemsToJSON`) is an object keyed by item name:
//   { "logLevel" : { "description" : "...", "type" : "enumeration",
//     "default" : "warning", "value" : "warning",
//     "options" : [ "error", ... ], "displayName" : "..." }, ... }
// and the same form is accepted by the constructor (items without "value"
// take their "default"; a non-string "description", "type", "default" or
// "value" is kept as its JSON text; other members are kept unchanged).
//
// Thread-safety: a plain value type.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class ConfigCategory {
  public:
    struct Item {
        std::string name;
        std::string description;
        std::string type;
        std::string defaultValue;
        std::string value;
        std::string displayName;
        std::vector<std::string> options;
        // Any other members of the item ("order", "minimum", ...), kept as
        // (name, JSON text) so that they survive a round trip unchanged.
        std::vector<std::pair<std::string, std::string>> extra;
    };

    ConfigCategory() = default;
    // Builds the category from its items' JSON text. Throws
    // std::invalid_argument when the text is not a JSON object of items.
    ConfigCategory(const std::string& name, const std::string& json);
    virtual ~ConfigCategory() = default;

    const std::string& getName() const { return m_name; }
    const std::string& getDescription() const { return m_description; }
    const std::string& getDisplayName() const { return m_displayName; }
    void setDescription(const std::string& description) { m_description = description; }
    void setDisplayName(const std::string& displayName) { m_displayName = displayName; }

    // Adds an item, or replaces the item of the same name.
    void addItem(const std::string& name, const std::string& description, const std::string& type,
                 const std::string& defaultValue, const std::string& value);
    // Adds (or replaces) an item of type "enumeration" with its options.
    void addItem(const std::string& name, const std::string& description,
                 const std::string& defaultValue, const std::string& value,
                 const std::vector<std::string>& options);
    // Adds `item`, or replaces the item of the same name.
    void addItem(const Item& item) { putItem(item); }
    // Sets the display name of item `name`; does nothing when there is no
    // such item.
    void setItemDisplayName(const std::string& name, const std::string& displayName);
    // Sets the current value of item `name`. False when there is no such item.
    bool setValue(const std::string& name, const std::string& value);

    bool itemExists(const std::string& name) const;
    // The item's current value; throws std::out_of_range when absent.
    std::string getValue(const std::string& name) const;
    // The item called `name`, or null. The pointer is valid until the
    // category is next changed.
    const Item* findItem(const std::string& name) const;
    const std::vector<Item>& getItems() const { return m_items; }

    // The items as a JSON object text (see above).
    virtual std::string itemsToJSON() const;
    // { "key" : name, "description" : ..., "displayName" : ... (when set),
    //   "value" : items }
    std::string toJSON() const;

  protected:
    Item* findMutableItem(const std::string& name);
    void putItem(Item item);

    std::string m_name;
    std::string m_description;
    std::string m_displayName;
    std::vector<Item> m_items;
};

// A category as a service declares it, with defaults: the form sent to the
// core when the category is created.
class DefaultConfigCategory : public ConfigCategory {
  public:
    DefaultConfigCategory(const std::string& name, const std::string& json)
        : ConfigCategory(name, json) {}
};
