// What the route handlers of the core's two APIs use of the core: the
// service registry, the configuration categories, the audit log, the proxy
// table, the channel to the services, the supervisor once it runs, and the
// notifier that tells the services of category changes. The routes see only
// this, never `Core`, so the core includes its route files and not the
// other way round.
//
// Ownership: the context refers to parts the core owns; it owns nothing and
// must not outlive them (the core keeps it until its servers are stopped).
//
// Thread-safety: the handlers use it on the servers' threads at once; every
// part it refers to is thread-safe, and the supervisor is read through an
// atomic view, since it is launched while the servers already answer.
#pragma once

#include <atomic>
#include <vector>

#include "audit_log.h"
#include "category_store.h"
#include "proxy_table.h"
#include "service_channel.h"
#include "service_registry.h"

class Supervisor;

// Tells the services what changed in the categories they follow. The core
// implements it over its notification queue.
//
// Thread-safety: called from several threads at once; it only queues, the
// deliveries happen on the core's notification thread.
class CoreNotifier {
  public:
    virtual ~CoreNotifier() = default;

    // Queues a notification of `change` to every registration following
    // its category.
    virtual void notifyChange(const CategoryStore::Change& change) = 0;
    // Queues child-creation notifications to the followers of each parent.
    virtual void notifyChildren(const std::vector<CategoryStore::ChildAdded>& added) = 0;
    // Drops what the core holds for a registration that ended.
    virtual void forgetRegistration(const RegisteredService& service) = 0;
};

class CoreRouteContext {
  public:
    // The parts the routes use, all owned by the caller. `open` is true when
    // no call needs a token (--open).
    CoreRouteContext(ServiceRegistry& registry, CategoryStore& categories, AuditLog& audit,
                     ProxyTable& proxies, ServiceChannel& channel,
                     const std::atomic<Supervisor*>& supervisor, CoreNotifier& notifier, bool open)
        : m_registry(registry),
          m_categories(categories),
          m_audit(audit),
          m_proxies(proxies),
          m_channel(channel),
          m_supervisor(supervisor),
          m_notifier(notifier),
          m_open(open) {}

    ServiceRegistry& registry() { return m_registry; }
    CategoryStore& categories() { return m_categories; }
    AuditLog& audit() { return m_audit; }
    ProxyTable& proxies() { return m_proxies; }
    ServiceChannel& channel() { return m_channel; }
    CoreNotifier& notifier() { return m_notifier; }
    // The supervisor, or null while the core has not launched it yet.
    Supervisor* supervisor() { return m_supervisor.load(std::memory_order_acquire); }
    bool open() const { return m_open; }

  private:
    ServiceRegistry& m_registry;
    CategoryStore& m_categories;
    AuditLog& m_audit;
    ProxyTable& m_proxies;
    ServiceChannel& m_channel;
    const std::atomic<Supervisor*>& m_supervisor;
    CoreNotifier& m_notifier;
    const bool m_open;
};
