#include "server/avahi_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <string>

#include "base/close_on_exec.h"

namespace quorin {

// Lives on Avahi's poll thread; every member is touched only there or under the poll lock.
class AvahiAdvertiser::Engine {
 public:
  using Report = std::function<void(std::string)>;

  explicit Engine(Report report) : report_(std::move(report)) {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) {
      report_("Advertising on the local network is unavailable: the Avahi client could not start.");
      return;
    }
    // The poll's wake-up pipe is made without close-on-exec.
    setCloseOnExecAboveStandardError();
    connect();
    avahi_threaded_poll_start(poll_);
  }

  ~Engine() {
    if (!poll_) return;
    avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees the entry group too
    avahi_threaded_poll_free(poll_);
  }

  void publish(const ServiceDescription& service) {
    Locked lock(poll_);
    wanted_ = service;
    name_ = service.name;
    if (client_ && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING) register_(client_);
  }

  void withdraw() {
    Locked lock(poll_);
    wanted_.reset();
    if (group_) avahi_entry_group_reset(group_);
  }

 private:
  struct Locked {
    explicit Locked(AvahiThreadedPoll* poll) : poll(poll) {
      if (poll) avahi_threaded_poll_lock(poll);
    }
    ~Locked() {
      if (poll) avahi_threaded_poll_unlock(poll);
    }
    AvahiThreadedPoll* poll;
  };

  void connect() {
    int error = 0;
    group_ = nullptr;
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                               &Engine::onClientState, this, &error);
    if (!client_) {
      report_(std::string("Advertising on the local network is unavailable: ") +
              avahi_strerror(error) + ".");
    }
  }

  static void onClientState(AvahiClient* client, AvahiClientState state, void* context) {
    auto* self = static_cast<Engine*>(context);
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->outageReported_ = false;
        if (self->wanted_) self->register_(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is renaming this machine; publish again once it is running.
        if (self->group_) avahi_entry_group_reset(self->group_);
        break;
      case AVAHI_CLIENT_CONNECTING:
        self->reportOutage("avahi-daemon is not running");
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          // The daemon went away (or restarted): start over, waiting for it to return.
          self->reportOutage("avahi-daemon stopped");
          avahi_client_free(client);
          self->client_ = nullptr;
          self->connect();
        } else {
          self->reportOutage(avahi_strerror(avahi_client_errno(client)));
        }
        break;
    }
  }

  static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
    auto* self = static_cast<Engine*>(context);
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
      // Another host uses the name: take Avahi's alternative ("Name #2") and try again.
      char* alternative = avahi_alternative_service_name(self->name_.c_str());
      self->name_ = alternative;
      avahi_free(alternative);
      self->register_(avahi_entry_group_get_client(group));
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
      self->report_(std::string("Advertising on the local network failed: ") +
                    avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))) + ".");
    }
  }

  void register_(AvahiClient* client) {
    if (!group_) {
      group_ = avahi_entry_group_new(client, &Engine::onGroupState, this);
      if (!group_) {
        report_(std::string("Advertising on the local network failed: ") +
                avahi_strerror(avahi_client_errno(client)) + ".");
        return;
      }
    }
    avahi_entry_group_reset(group_);
    for (;;) {
      const int result = avahi_entry_group_add_service(
          group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name_.c_str(),
          wanted_->type.c_str(), nullptr, nullptr, wanted_->port, nullptr);
      if (result == AVAHI_ERR_COLLISION) {
        char* alternative = avahi_alternative_service_name(name_.c_str());
        name_ = alternative;
        avahi_free(alternative);
        continue;
      }
      if (result >= 0) avahi_entry_group_commit(group_);
      else report_(std::string("Advertising on the local network failed: ") + avahi_strerror(result) + ".");
      return;
    }
  }

  void reportOutage(const std::string& why) {
    if (outageReported_) return;
    outageReported_ = true;
    report_("Advertising on the local network is unavailable because " + why +
            "; devices can still connect by address.");
  }

  Report report_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::optional<ServiceDescription> wanted_;
  std::string name_;  // the name in use, after any renaming
  bool outageReported_ = false;
};

AvahiAdvertiser::AvahiAdvertiser(TaskRunner& mainThread)
    : alive_(std::make_shared<bool>(true)), mainThread_(mainThread) {
  engine_ = std::make_unique<Engine>([this, weak = std::weak_ptr<bool>(alive_)](std::string sentence) {
    mainThread_.post([this, weak, sentence = std::move(sentence)] {
      if (weak.lock() && onProblem_) onProblem_(sentence);
    });
  });
}

AvahiAdvertiser::~AvahiAdvertiser() {
  alive_.reset();
  engine_.reset();
}

void AvahiAdvertiser::setProblemHandler(ProblemHandler handler) { onProblem_ = std::move(handler); }

void AvahiAdvertiser::publish(const ServiceDescription& service) { engine_->publish(service); }

void AvahiAdvertiser::withdraw() { engine_->withdraw(); }

}  // namespace quorin
