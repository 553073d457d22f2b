#pragma once

#include <chrono>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "http/response.hpp"

namespace stratdesk::http {

// Sends the header of a streamed answer (no length, "Connection: close") and runs its writer
// until it returns. Every write gets `write_timeout`; `shutdown` is handed to the writer.
boost::asio::awaitable<void> run_stream(boost::beast::tcp_stream& stream, Response response,
                                        unsigned version, std::chrono::milliseconds write_timeout,
                                        boost::asio::cancellation_signal& shutdown);

}  // namespace stratdesk::http
