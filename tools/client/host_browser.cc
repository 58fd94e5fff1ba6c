#include "client/host_browser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <net/if.h>

#include <algorithm>
#include <memory>

namespace quorin {
namespace {

constexpr const char* kServiceType = "_quorinremote._tcp";

struct PollDeleter {
  void operator()(AvahiSimplePoll* poll) const { avahi_simple_poll_free(poll); }
};
struct ClientDeleter {
  // Frees the browser and every resolver made through the client as well.
  void operator()(AvahiClient* client) const { avahi_client_free(client); }
};

struct Browse {
  std::vector<AdvertisedHost> hosts;
  std::string error;
  int resolving = 0;
  bool allForNow = false;

  static void onClient(AvahiClient* client, AvahiClientState state, void* context) {
    if (state == AVAHI_CLIENT_FAILURE) {
      static_cast<Browse*>(context)->error = avahi_strerror(avahi_client_errno(client));
    }
  }

  static void onBrowse(AvahiServiceBrowser* browser, AvahiIfIndex interface,
                       AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                       const char* type, const char* domain, AvahiLookupResultFlags,
                       void* context) {
    auto* self = static_cast<Browse*>(context);
    AvahiClient* client = avahi_service_browser_get_client(browser);
    switch (event) {
      case AVAHI_BROWSER_NEW:
        if (avahi_service_resolver_new(client, interface, protocol, name, type, domain,
                                       AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &Browse::onResolve,
                                       self)) {
          ++self->resolving;
        }
        break;
      case AVAHI_BROWSER_ALL_FOR_NOW:
        self->allForNow = true;
        break;
      case AVAHI_BROWSER_FAILURE:
        self->error = avahi_strerror(avahi_client_errno(client));
        break;
      default:
        break;  // removals and cache notices change nothing for a one-off listing
    }
  }

  static void onResolve(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                        AvahiResolverEvent event, const char* name, const char*, const char*,
                        const char*, const AvahiAddress* address, uint16_t port,
                        AvahiStringList*, AvahiLookupResultFlags, void* context) {
    auto* self = static_cast<Browse*>(context);
    if (event == AVAHI_RESOLVER_FOUND && address) self->add(name, *address, interface, port);
    avahi_service_resolver_free(resolver);
    --self->resolving;
  }

  void add(const char* name, const AvahiAddress& address, AvahiIfIndex interface,
           std::uint16_t port) {
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, &address);
    std::string numeric = text;
    // A link-local IPv6 address means nothing without the interface it was seen on.
    char interfaceName[IF_NAMESIZE] = {};
    if (address.proto == AVAHI_PROTO_INET6 && numeric.starts_with("fe80:") &&
        if_indextoname(static_cast<unsigned>(interface), interfaceName)) {
      numeric += std::string("%") + interfaceName;
    }
    AdvertisedHost host{name, numeric, port};
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);
  }
};

}  // namespace

BrowseResult browseHosts(std::chrono::milliseconds limit, const BrowseDone& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_ptr<AvahiSimplePoll, PollDeleter> poll(avahi_simple_poll_new());
  if (!poll) return {{}, "the Avahi client could not start"};
  Browse browse;
  int status = 0;
  std::unique_ptr<AvahiClient, ClientDeleter> client(avahi_client_new(
      avahi_simple_poll_get(poll.get()), AvahiClientFlags(0), &Browse::onClient, &browse, &status));
  if (!client) return {{}, avahi_strerror(status)};
  if (!avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, kServiceType,
                                 nullptr, AvahiLookupFlags(0), &Browse::onBrowse, &browse)) {
    return {{}, avahi_strerror(avahi_client_errno(client.get()))};
  }
  while (browse.error.empty() &&
         !done(browse.hosts, browse.allForNow && browse.resolving == 0)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (avahi_simple_poll_iterate(poll.get(), int(std::min<long long>(left.count(), 100))) != 0) {
      break;
    }
  }
  return {std::move(browse.hosts), std::move(browse.error)};
}

}  // namespace quorin
