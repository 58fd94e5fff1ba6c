#pragma once
// Opens a connection to a host: resolve, TCP connect, all within a time limit. The
// channel that comes back is not started. Thread: the handler runs on the context's thread.

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "transport/message_channel.h"

namespace quorin {

using ConnectHandler = std::function<void(std::error_code, std::unique_ptr<MessageChannel>)>;

// `tls` empty: plain TCP. Gives asio::error::timed_out when `timeout` passes first.
void connectChannel(asio::io_context& context, const std::string& host, std::uint16_t port,
                    std::shared_ptr<TlsContext> tls, std::chrono::milliseconds timeout,
                    ConnectHandler handler);

}  // namespace quorin
