// The services registered with the core: name, type, how to reach them, and
// the registration tokens the core issued to the services it launched.
//
// Each registration gets an id (32 hexadecimal digits) that the service uses
// to unregister or to ask for a restart. Names are unique: registering a
// name that is taken replaces the old record only when the caller says the
// old registration is gone (see `add`).
//
// Thread-safety: all members may be called from any thread at once.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core_result.h"

struct RegisteredService {
    std::string id;
    std::string name;
    std::string type;
    std::string protocol;
    std::string address;
    uint16_t servicePort = 0;
    uint16_t managementPort = 0;
    std::string token;  // the token it registered with; never shown

    // { "name", "type", "protocol", "address", "service_port", "management_port" }
    std::string toJSON() const;
};

class ServiceRegistry {
  public:
    // With `open`, services whose name has no issued token may register
    // with any token.
    explicit ServiceRegistry(bool open);

    // Issues a fresh random token for the service `name`, replacing any
    // earlier one, and returns it.
    std::string issueToken(const std::string& name);
    // Revokes the token issued for `name` (its process ended or it
    // unregistered): nobody may register under the name until a new token
    // is issued.
    void revokeToken(const std::string& name);

    // Registers `service` (its id is ignored) presenting `token`. Refused
    // with 401 when a token was issued for the name and `token` differs, or
    // when none was issued and the registry is not open; 400 for an invalid
    // record; 409 when the name is registered and `replaceExisting` is
    // false. On success the JSON is { "id" : "...", "name" : "..." }.
    CoreResult add(const RegisteredService& service, const std::string& token,
                   bool replaceExisting);

    // Removes the registration `id` and revokes its token; returns it, or
    // nothing when unknown.
    std::optional<RegisteredService> remove(const std::string& id);
    // Removes the registration of `name` and revokes its token; returns it,
    // or nothing.
    std::optional<RegisteredService> removeByName(const std::string& name);

    // True when a current registration was made with `token` (not empty).
    bool holdsToken(const std::string& token) const;

    std::optional<RegisteredService> findById(const std::string& id) const;
    std::optional<RegisteredService> findByName(const std::string& name) const;
    // The services whose name and type equal the given ones (an empty
    // filter matches every value), in name order.
    std::vector<RegisteredService> find(const std::string& name, const std::string& type) const;

    // { "services" : [ ... ] }
    static std::string toJSON(const std::vector<RegisteredService>& services);

  private:
    bool tokenAccepted(const std::string& name, const std::string& token) const;
    void revokeLocked(const std::string& name);  // m_mutex held

    const bool m_open;
    mutable std::mutex m_mutex;
    std::map<std::string, RegisteredService> m_byName;
    // name -> issued token; "" once revoked
    std::map<std::string, std::string> m_tokens;
};

// Returns `bytes` random bytes as lower-case hexadecimal text.
std::string randomHex(size_t bytes);
