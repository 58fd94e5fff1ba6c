#include "identity/libsecret_backend.h"

#include <libsecret/secret.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace quorin {
namespace {

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct SecretValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GVariantUnref {
  void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
struct GHashTableUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
// A list of owned objects, as libsecret's searches return them.
struct GObjectListFree {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

using ErrorPtr = std::unique_ptr<GError, GErrorFree>;
using ValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

// Attributes `service` and `account` only. The schema name is not matched and not stored,
// so items written by other tools with the same two attributes are the same items.
const SecretSchema* schema() {
  static const SecretSchema instance = [] {
    SecretSchema s{};
    s.name = "com.quorinlabs.QuorinRemote";
    s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &instance;
}

constexpr const char* kContentType = "application/octet-stream";

}  // namespace

LibsecretBackend::LibsecretBackend(std::string service) : service_(std::move(service)) {}

bool LibsecretBackend::serviceAnswers(std::chrono::milliseconds timeout) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ignored;
  const bool busExists = (address && *address) ||
                         (runtime && *runtime &&
                          std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored));
  if (!busExists) return false;

  GError* error = nullptr;
  std::unique_ptr<GDBusConnection, GObjectUnref> bus(
      g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
  ErrorPtr busError(error);
  if (!bus) return false;
  std::unique_ptr<GVariant, GVariantUnref> reply(g_dbus_connection_call_sync(
      bus.get(), "org.freedesktop.secrets", "/org/freedesktop/secrets",
      "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
      static_cast<gint>(timeout.count()), nullptr, &error));
  ErrorPtr pingError(error);
  return reply != nullptr;
}

bool LibsecretBackend::save(ByteView value, std::string_view account) {
  const std::string name(account);
  const std::string label = service_ + " " + name;
  // An empty value still needs a non-null buffer.
  static const char kNothing = 0;
  const char* data = value.empty() ? &kNothing : reinterpret_cast<const char*>(value.data());
  ValuePtr secret(secret_value_new(data, static_cast<gssize>(value.size()), kContentType));
  GError* error = nullptr;
  const gboolean stored = secret_password_store_binary_sync(
      schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.get(), nullptr, &error,
      "service", service_.c_str(), "account", name.c_str(), nullptr);
  ErrorPtr owned(error);
  return stored && !error;
}

std::optional<Bytes> LibsecretBackend::load(std::string_view account) {
  bool failed = false;
  return lookup(account, failed);
}

bool LibsecretBackend::mayHoldUnreadable(std::string_view account) {
  bool failed = false;
  return !lookup(account, failed) && failed;
}

std::optional<Bytes> LibsecretBackend::lookup(std::string_view account, bool& failed) const {
  const std::string name(account);
  GError* error = nullptr;
  ValuePtr secret(secret_password_lookup_binary_sync(schema(), nullptr, &error, "service",
                                                     service_.c_str(), "account", name.c_str(),
                                                     nullptr));
  ErrorPtr owned(error);
  failed = error != nullptr;
  if (!secret || error) return std::nullopt;
  gsize length = 0;
  const auto* data = reinterpret_cast<const std::uint8_t*>(secret_value_get(secret.get(), &length));
  return Bytes(data, data + length);
}

bool LibsecretBackend::deleteItem(std::string_view account) {
  const std::string name(account);
  GError* error = nullptr;
  const gboolean deleted = secret_password_clear_sync(schema(), nullptr, &error, "service",
                                                      service_.c_str(), "account", name.c_str(),
                                                      nullptr);
  ErrorPtr owned(error);
  return deleted && !error;
}

std::vector<std::string> LibsecretBackend::allAccounts() {
  GError* error = nullptr;
  std::unique_ptr<GList, GObjectListFree> items(secret_password_search_sync(
      schema(), SECRET_SEARCH_ALL, nullptr, &error, "service", service_.c_str(), nullptr));
  ErrorPtr owned(error);
  std::vector<std::string> accounts;
  if (error) return accounts;
  for (GList* item = items.get(); item; item = item->next) {
    std::unique_ptr<GHashTable, GHashTableUnref> attributes(
        secret_retrievable_get_attributes(SECRET_RETRIEVABLE(item->data)));
    const auto* account =
        attributes ? static_cast<const char*>(g_hash_table_lookup(attributes.get(), "account"))
                   : nullptr;
    if (account) accounts.emplace_back(account);
  }
  return accounts;
}

}  // namespace quorin
