// BucketApi: registration of the public "/tarvolt" paths with the core.
#include "bucket_api.h"
#include "console_assets.h"
#include "management_client.h"

bool BucketApi::setupProxies(const std::string& name, ManagementClient* client) {
    // Remembered first, so that the destructor withdraws the registration
    // whatever the core answers.
    m_management = client;
    m_name = name;

    const std::string idPath = "/bucket/([0-9][0-9]*)$";
    ManagementClient::ProxyMap proxies;
    proxies["POST"] = {{"/tarvolt/bucket", "/bucket"},
                       {"/tarvolt/bucket/search", "/bucket/search"},
                       {"/tarvolt/bucket/delete", "/bucket/delete"}};
    const std::string consolePath = kConsolePath;
    const std::string infoPath = "/bucket/([0-9][0-9]*)/info$";
    proxies["GET"] = {{"/tarvolt" + idPath, idPath},
                      {"/tarvolt" + consolePath, consolePath},
                      {"/tarvolt/bucket", "/bucket"},
                      {"/tarvolt/bucket/changes", "/bucket/changes"},
                      {"/tarvolt" + infoPath, infoPath},
                      {"/tarvolt/bucket/retention", "/bucket/retention"},
                      {"/tarvolt/bucket/replication", "/bucket/replication"}};
    const std::string contentPath = "/bucket/([0-9][0-9]*)/content$";
    proxies["PUT"] = {{"/tarvolt" + idPath, idPath},
                      {"/tarvolt/bucket/match", "/bucket/match"},
                      {"/tarvolt" + contentPath, contentPath}};
    proxies["PATCH"] = {{"/tarvolt" + idPath, idPath}};
    proxies["DELETE"] = {{"/tarvolt" + idPath, idPath}};
    return client->addProxy(name, proxies);
}

bool BucketApi::withdrawProxies() {
    ManagementClient* management = m_management;
    if (management == nullptr || m_proxiesWithdrawn.exchange(true)) {
        return true;
    }
    return management->deleteProxy(m_name);
}
