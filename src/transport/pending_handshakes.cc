#include "transport/pending_handshakes.h"

#include <algorithm>

#include "base/log.h"

namespace quorin {

PendingHandshakes::PendingHandshakes(std::shared_ptr<TlsContext> tls, Limits limits, ReadyHandler ready)
    : tls_(std::move(tls)), limits_(limits), ready_(std::move(ready)) {}

void PendingHandshakes::admit(asio::ip::tcp::socket socket) {
  if (!summaryTimer_) summaryTimer_.emplace(socket.get_executor());
  std::error_code ec;
  const asio::ip::address group = HandshakeEviction::group(socket.remote_endpoint(ec).address());
  const auto now = std::chrono::steady_clock::now();
  const HandshakeEviction::Candidate newcomer{
      .group = group, .connections = history_.connected(group, now), .paired = history_.pairedLately(group, now)};
  candidates_.clear();
  for (const Entry& entry : pending_) candidates_.push_back(describe(entry, now));
  const HandshakeEviction::Verdict verdict =
      HandshakeEviction::choose(candidates_, newcomer, {.total = limits_.total, .perGroup = limits_.perGroup});
  if (!verdict.admit) {
    countFailure("turned away, every place taken by a connection from an address no busier");
    return;
  }
  if (verdict.victim) {
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(*verdict.victim));
    countFailure("dropped for a newer connection");
  }
  const std::uint64_t id = nextId_++;
  pending_.push_back({id, group, now, std::make_unique<MessageChannel>(std::move(socket), tls_)});
  pending_.back().channel->handshake([weak = weak_from_this(), id](std::error_code ec) {
    if (auto self = weak.lock()) self->finished(id, ec);
  });
}

void PendingHandshakes::clear() {
  pending_.clear();
  if (summaryTimer_) summaryTimer_->cancel();
  logFailures();
}

HandshakeEviction::Candidate PendingHandshakes::describe(const Entry& entry, AddressHistory::TimePoint now) const {
  // One admitted within the grace cannot have stalled yet; under a flood that is every one,
  // and asking the TLS engine costs.
  const auto overdue = [&](AddressHistory::TimePoint since) { return now - since >= limits_.identifiedGrace; };
  std::optional<AddressHistory::TimePoint> identified;
  if (overdue(entry.admitted)) identified = entry.channel->identifiedAt();
  return {.group = entry.group,
          .connections = history_.connections(entry.group, now),
          .paired = history_.pairedLately(entry.group, now),
          .stalled = identified && overdue(*identified),
          .age = now - entry.admitted};
}

void PendingHandshakes::finished(std::uint64_t id, std::error_code ec) {
  auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Entry& e) { return e.id == id; });
  if (it == pending_.end()) return;  // dropped to make room, and counted then
  std::unique_ptr<MessageChannel> channel = std::move(it->channel);
  const asio::ip::address group = it->group;
  pending_.erase(it);
  if (ec) {
    countFailure(ec.message());
    return;
  }
  history_.paired(group, std::chrono::steady_clock::now());
  if (ready_) ready_(std::move(channel));
}

void PendingHandshakes::countFailure(std::string reason) {
  lastFailure_ = std::move(reason);
  if (failures_++ > 0) return;
  summaryTimer_->expires_after(kSummaryInterval);
  summaryTimer_->async_wait([weak = weak_from_this()](std::error_code ec) {
    if (auto self = weak.lock(); self && !ec) self->logFailures();
  });
}

void PendingHandshakes::logFailures() {
  if (failures_ == 0) return;
  logLine(std::to_string(failures_) +
          (failures_ == 1 ? " connection failed its" : " connections failed their") +
          " handshake in the last " + std::to_string(kSummaryInterval.count()) + " s (last: " +
          lastFailure_ + ")");
  failures_ = 0;
}

}  // namespace quorin
