#include "identity/libsecret_backend.h"

#include <libsecret/secret.h>

#include <cstdlib>
#include <cstdint>
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

using Clock = std::chrono::steady_clock;

// One asynchronous GLib call waited for with a time limit, on a main context of this call
// alone (so it never runs the caller's sources). At the limit the call is cancelled; a
// cancelled call that does not finish within a short grace is abandoned, its state kept
// alive for a callback that may come later.
class BoundedCall {
 public:
  explicit BoundedCall(std::chrono::milliseconds limit)
      : limit_(limit), context_(g_main_context_new()), cancellable_(g_cancellable_new()) {
    g_main_context_push_thread_default(context_);
  }
  ~BoundedCall() {
    g_main_context_pop_thread_default(context_);
    g_object_unref(cancellable_);
    g_main_context_unref(context_);
  }
  BoundedCall(const BoundedCall&) = delete;
  BoundedCall& operator=(const BoundedCall&) = delete;

  GCancellable* cancellable() const { return cancellable_; }
  static void finished(GObject*, GAsyncResult* result, gpointer data) {
    auto* state = static_cast<std::shared_ptr<State>*>(data);
    (*state)->result.reset(G_ASYNC_RESULT(g_object_ref(result)));
    delete state;
  }
  // The callback's data: give it to the call together with finished().
  gpointer data() const { return new std::shared_ptr<State>(state_); }

  // The call's result; nothing when it ran out of time.
  GAsyncResult* wait() {
    if (!waitUntil(Clock::now() + limit_)) {
      g_cancellable_cancel(cancellable_);
      waitUntil(Clock::now() + std::chrono::seconds(1));
      timedOut_ = true;
    }
    return timedOut_ ? nullptr : state_->result.get();
  }
  bool timedOut() const { return timedOut_; }
  // A clause naming the limit, for the problems reported to the user.
  std::string limitText() const {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit_).count()) + " s";
  }

 private:
  struct State {
    std::unique_ptr<GAsyncResult, GObjectUnref> result;
  };

  bool waitUntil(Clock::time_point deadline) {
    while (!state_->result) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      GSource* timer = g_timeout_source_new(static_cast<guint>(left.count()));
      g_source_set_callback(timer, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
      g_source_attach(timer, context_);
      g_main_context_iteration(context_, TRUE);
      g_source_destroy(timer);
      g_source_unref(timer);
    }
    return true;
  }

  const std::chrono::milliseconds limit_;
  GMainContext* const context_;
  GCancellable* const cancellable_;
  const std::shared_ptr<State> state_ = std::make_shared<State>();
  bool timedOut_ = false;
};

// What to say when a call fails: it ran out of time, or the service's own message.
std::string failure(const BoundedCall& call, const GError* error) {
  if (call.timedOut()) {
    return "the Secret Service did not answer within " + call.limitText() +
           "; restart the keyring (or log in again)";
  }
  return std::string("the Secret Service failed (") + (error ? error->message : "no reason given") + ")";
}

std::string lockedKeyring(const std::string& service, std::string_view account, std::string_view what) {
  return std::string(what) + "; unlock it: log in again, use Passwords and Keys (Seahorse), or run "
         "secret-tool lookup service " + service + " account " + std::string(account);
}

using AttributesPtr = std::unique_ptr<GHashTable, GHashTableUnref>;

AttributesPtr attributes(const std::string& service, const std::string* account) {
  AttributesPtr table(g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free));
  g_hash_table_insert(table.get(), const_cast<char*>("service"), g_strdup(service.c_str()));
  if (account) g_hash_table_insert(table.get(), const_cast<char*>("account"), g_strdup(account->c_str()));
  return table;
}

using ServicePtr = std::unique_ptr<SecretService, GObjectUnref>;

// A proxy of the service for one operation. libsecret's shared proxy (secret_service_get)
// caches collections and items whose properties change only through signals delivered to the
// main context they were made on, which here is never run again: a keyring unlocked after it
// was first seen locked would stay locked for the rest of the process.
ServicePtr connect(std::chrono::milliseconds limit, std::string& problem) {
  BoundedCall call(limit);
  secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, call.cancellable(), BoundedCall::finished,
                      call.data());
  GError* error = nullptr;
  GAsyncResult* result = call.wait();
  ServicePtr service(result ? secret_service_open_finish(result, &error) : nullptr);
  ErrorPtr owned(error);
  if (!service) problem = failure(call, error);
  return service;
}

}  // namespace

LibsecretBackend::LibsecretBackend(std::string service, Limits limits)
    : service_(std::move(service)), limits_(limits) {}

bool LibsecretBackend::serviceAnswers(std::chrono::milliseconds timeout) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ignored;
  const bool busExists = (address && *address) ||
                         (runtime && *runtime &&
                          std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored));
  if (!busExists) return false;

  std::unique_ptr<GDBusConnection, GObjectUnref> bus;
  {
    BoundedCall call(timeout);
    g_bus_get(G_BUS_TYPE_SESSION, call.cancellable(), BoundedCall::finished, call.data());
    GAsyncResult* result = call.wait();
    if (!result) return false;
    GError* error = nullptr;
    bus.reset(g_bus_get_finish(result, &error));
    ErrorPtr owned(error);
    if (!bus) return false;
  }
  BoundedCall call(timeout);
  g_dbus_connection_call(bus.get(), "org.freedesktop.secrets", "/org/freedesktop/secrets",
                         "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                         static_cast<gint>(timeout.count()), call.cancellable(), BoundedCall::finished,
                         call.data());
  GAsyncResult* result = call.wait();
  if (!result) return false;
  GError* error = nullptr;
  std::unique_ptr<GVariant, GVariantUnref> reply(g_dbus_connection_call_finish(bus.get(), result, &error));
  ErrorPtr owned(error);
  return reply != nullptr;
}

bool LibsecretBackend::save(ByteView value, std::string_view account) {
  const std::string name(account);
  const std::string label = service_ + " " + name;
  // An empty value still needs a non-null buffer.
  static const char kNothing = 0;
  const char* data = value.empty() ? &kNothing : reinterpret_cast<const char*>(value.data());
  ValuePtr secret(secret_value_new(data, static_cast<gssize>(value.size()), kContentType));
  std::string problem;
  const ServicePtr service = connect(limits_.call, problem);
  if (!service) return false;
  // Saving into a locked keyring asks to unlock it.
  BoundedCall call(limits_.unlock);
  secret_service_store(service.get(), schema(), attributes(service_, &name).get(), SECRET_COLLECTION_DEFAULT,
                       label.c_str(), secret.get(), call.cancellable(), BoundedCall::finished, call.data());
  GAsyncResult* result = call.wait();
  if (!result) return false;
  GError* error = nullptr;
  const gboolean stored = secret_service_store_finish(service.get(), result, &error);
  ErrorPtr owned(error);
  return stored && !error;
}

std::optional<Bytes> LibsecretBackend::load(std::string_view account) {
  std::string problem;
  return lookup(account, true, problem);
}

std::optional<std::string> LibsecretBackend::whyUnreadable(std::string_view account) {
  std::string problem;
  lookup(account, false, problem);
  if (problem.empty()) return std::nullopt;
  return problem;
}

std::optional<Bytes> LibsecretBackend::lookup(std::string_view account, bool read,
                                              std::string& problem) const {
  const ServicePtr service = connect(limits_.call, problem);
  if (!service) return std::nullopt;
  const std::string name(account);
  GError* error = nullptr;
  std::unique_ptr<GList, GObjectListFree> items;
  {
    // Locked items too, without asking to unlock them: what is there, not what is readable.
    BoundedCall call(limits_.call);
    secret_service_search(service.get(), schema(), attributes(service_, &name).get(), SECRET_SEARCH_ALL,
                          call.cancellable(), BoundedCall::finished, call.data());
    GAsyncResult* result = call.wait();
    items.reset(result ? secret_service_search_finish(service.get(), result, &error) : nullptr);
    ErrorPtr owned(error);
    if (!result || error) {
      problem = failure(call, error);
      return std::nullopt;
    }
  }
  if (!items) {
    // A service may leave a locked keyring's items out of a search.
    BoundedCall call(limits_.call);
    secret_service_load_collections(service.get(), call.cancellable(), BoundedCall::finished, call.data());
    GAsyncResult* result = call.wait();
    const bool loaded = result && secret_service_load_collections_finish(service.get(), result, &error);
    ErrorPtr owned(error);
    if (!loaded) {
      problem = failure(call, error);
      return std::nullopt;
    }
    std::unique_ptr<GList, GObjectListFree> collections(secret_service_get_collections(service.get()));
    for (GList* c = collections.get(); c; c = c->next) {
      if (secret_collection_get_locked(SECRET_COLLECTION(c->data))) {
        problem = lockedKeyring(service_, account, "a keyring is locked, and it may hold the item");
        break;
      }
    }
    return std::nullopt;
  }
  auto* item = SECRET_ITEM(items->data);
  if (secret_item_get_locked(item)) {
    if (!read) {
      problem = lockedKeyring(service_, account, "the keyring that holds it is locked");
      return std::nullopt;
    }
    BoundedCall call(limits_.unlock);
    GList only{item, nullptr, nullptr};
    secret_service_unlock(service.get(), &only, call.cancellable(), BoundedCall::finished, call.data());
    GAsyncResult* result = call.wait();
    const gint unlocked = result ? secret_service_unlock_finish(service.get(), result, nullptr, &error) : 0;
    ErrorPtr owned(error);
    if (unlocked == 0) {
      problem = lockedKeyring(service_, account, call.timedOut()
                                                     ? "the keyring that holds it is locked and was not "
                                                       "unlocked within " + call.limitText()
                                                     : "the keyring that holds it is locked, and unlocking "
                                                       "it was refused");
      return std::nullopt;
    }
  }
  if (!read) return std::nullopt;
  BoundedCall call(limits_.call);
  secret_item_load_secret(item, call.cancellable(), BoundedCall::finished, call.data());
  GAsyncResult* result = call.wait();
  const bool loaded = result && secret_item_load_secret_finish(item, result, &error);
  ErrorPtr owned(error);
  ValuePtr secret(loaded ? secret_item_get_secret(item) : nullptr);
  if (!secret) {
    problem = failure(call, error);
    return std::nullopt;
  }
  gsize length = 0;
  const auto* data = reinterpret_cast<const std::uint8_t*>(secret_value_get(secret.get(), &length));
  return Bytes(data, data + length);
}

bool LibsecretBackend::deleteItem(std::string_view account) {
  const std::string name(account);
  std::string problem;
  const ServicePtr service = connect(limits_.call, problem);
  if (!service) return false;
  BoundedCall call(limits_.unlock);
  secret_service_clear(service.get(), schema(), attributes(service_, &name).get(), call.cancellable(),
                       BoundedCall::finished, call.data());
  GAsyncResult* result = call.wait();
  if (!result) return false;
  GError* error = nullptr;
  const gboolean deleted = secret_service_clear_finish(service.get(), result, &error);
  ErrorPtr owned(error);
  return deleted && !error;
}

std::vector<std::string> LibsecretBackend::allAccounts() {
  std::vector<std::string> accounts;
  std::string problem;
  const ServicePtr service = connect(limits_.call, problem);
  if (!service) return accounts;
  BoundedCall call(limits_.call);
  secret_service_search(service.get(), schema(), attributes(service_, nullptr).get(), SECRET_SEARCH_ALL,
                        call.cancellable(), BoundedCall::finished, call.data());
  GAsyncResult* result = call.wait();
  if (!result) return accounts;
  GError* error = nullptr;
  std::unique_ptr<GList, GObjectListFree> items(secret_service_search_finish(service.get(), result, &error));
  ErrorPtr owned(error);
  if (error) return accounts;
  for (GList* item = items.get(); item; item = item->next) {
    std::unique_ptr<GHashTable, GHashTableUnref> found(
        secret_retrievable_get_attributes(SECRET_RETRIEVABLE(item->data)));
    const auto* name = found ? static_cast<const char*>(g_hash_table_lookup(found.get(), "account")) : nullptr;
    if (name) accounts.emplace_back(name);
  }
  return accounts;
}

}  // namespace quorin
