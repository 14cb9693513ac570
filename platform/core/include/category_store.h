// The configuration categories held by the core: each category has a name,
// a description, an optional display name, its items (ConfigCategory) and an
// ordered list of child categories. The store also records which service
// registrations follow which category.
//
// Every change is written to the store's file (JSON, replaced atomically)
// before it takes effect in memory; a change that cannot be saved is
// answered 500 and leaves the store unchanged. Interests are not saved: a
// registration ends with the core.
//
// Thread-safety: all members may be called from any thread at once.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config_category.h"
#include "core_result.h"

class CategoryStore {
  public:
    // A change to tell the services following `category`.
    struct Change {
        std::string category;
        std::string items;  // the category's items as JSON text
    };
    // A category that was made a child of `parent`.
    struct ChildAdded {
        std::string parent;
        std::string category;
        std::string items;
    };

    // A store saved in `file`; an empty name keeps it in memory only.
    explicit CategoryStore(std::string file);

    // Reads the file. A missing file is an empty store. A file that cannot
    // be parsed is renamed to "<file>.corrupt-<seconds since epoch>" (so its
    // content is kept for the operator) and the store starts empty; the
    // method then returns false with the reason in `message`.
    bool load(std::string& message);

    // Creates or updates a category from the body of a creation request
    // ({ "key", "description", "display_name"?, "value" : items }). With
    // `keepOriginalItems` an existing category keeps the values of its items
    // and the items the request does not name. Answers the stored category
    // (see `get`); fills `change` when an existing category's items changed.
    CoreResult create(const std::string& body, bool keepOriginalItems,
                      std::optional<Change>& change);

    // { "key", "description", "displayName"?, "value" : items }, or 404.
    CoreResult get(const std::string& name) const;
    // The items object of the category, or 404.
    CoreResult items(const std::string& name) const;
    // { "categories" : [ { "key", "description" } ] }, or 404.
    CoreResult children(const std::string& name) const;

    // Makes the categories of the body ({ "children" : [ names ] }) children
    // of `parent`; both must exist. Answers { "children" : [ all children ] }
    // and lists the children that are new in `added`.
    CoreResult addChildren(const std::string& parent, const std::string& body,
                           std::vector<ChildAdded>& added);

    // Sets item `item` of category `name` from the body { "value" : "..." }.
    // The value must suit the item's type (an option of an enumeration, a
    // whole number for "integer", "true"/"false" for "boolean"). Answers the
    // item's JSON and fills `change` when the value differs from before.
    CoreResult setItem(const std::string& name, const std::string& item, const std::string& body,
                       std::optional<Change>& change);

    // Records that registration `registrationId` follows `category` (which
    // must exist).
    CoreResult addInterest(const std::string& category, const std::string& registrationId);
    std::vector<std::string> interestedIn(const std::string& category) const;
    void removeInterests(const std::string& registrationId);

  private:
    struct Stored {
        ConfigCategory category;
        std::vector<std::string> children;
    };
    using Categories = std::map<std::string, Stored>;

    // Saves `categories` to the file and makes them current; false (and the
    // store unchanged) when the file cannot be written.
    bool commit(Categories categories, std::string& error);
    static std::string render(const Categories& categories);
    static std::string categoryJSON(const ConfigCategory& category);

    const std::string m_file;
    mutable std::mutex m_mutex;
    Categories m_categories;
    std::map<std::string, std::set<std::string>> m_interests;  // category -> registrations
};

// Why `name` cannot name a category, or an empty string.
std::string invalidCategoryName(const std::string& name);
