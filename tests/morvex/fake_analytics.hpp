#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

// An analytics service for the tests: listens on 127.0.0.1 on a free port, records every
// request frame it receives, and answers canned objects, or misbehaves on demand.
namespace stratdesk::morvex_api::fake {

struct Received {
  std::string frame;           // the bytes as they arrived, length prefix included
  boost::json::value request;  // the body parsed; null when it is not JSON

  [[nodiscard]] std::string body() const { return frame.substr(4); }
  [[nodiscard]] std::string cmd() const;
};

enum class Mode {
  answer,       // one frame with the answer
  segmented,    // the answer's frame in 3-byte pieces with pauses between them
  extra_bytes,  // the frame, then bytes it does not announce
  empty_body,   // a frame announcing 0 bytes
  garbage,      // a frame whose body is not JSON
  truncated,    // half of the answer's frame, then close
  close_early,  // close without answering
  silent,       // never answer; wait for the client to give up
  hold,         // answer once release() is called
};

class FakeAnalytics {
 public:
  using Answer = std::function<boost::json::value(const boost::json::object& request)>;

  FakeAnalytics();
  ~FakeAnalytics();
  FakeAnalytics(const FakeAnalytics&) = delete;
  FakeAnalytics& operator=(const FakeAnalytics&) = delete;

  [[nodiscard]] unsigned short port() const { return port_; }

  void set_mode(Mode mode);
  // Replaces the answer to `cmd`. By default the symbol map holds three stocks, exposure
  // answers carry the four keys the server reads, and every other command is answered
  // {"answered": cmd, "benchmark": "from-service", "start_date": "from-service",
  //  "backtest_start_date": "from-service"}.
  void on(const std::string& cmd, Answer answer);

  [[nodiscard]] std::vector<Received> received() const;
  [[nodiscard]] std::vector<Received> received(const std::string& cmd) const;
  void clear();

  // Connections waiting in Mode::hold, and their release.
  [[nodiscard]] std::size_t held() const;
  void release();
  // Connections the client has not closed yet.
  [[nodiscard]] std::size_t open_connections() const;

  // Polls `condition` until it holds or `timeout` passes.
  static bool wait_for(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  boost::asio::awaitable<void> accept_loop();
  boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);
  boost::asio::awaitable<void> hold();
  boost::asio::awaitable<void> write_reply(boost::asio::ip::tcp::socket& socket,
                                           const std::string& reply, bool in_pieces);
  boost::asio::awaitable<void> wait_for_close(boost::asio::ip::tcp::socket& socket);
  boost::json::value answer_to(const boost::json::value& request);

  mutable std::mutex mutex_;
  Mode mode_ = Mode::answer;
  std::map<std::string, Answer> answers_;
  std::vector<Received> received_;
  std::size_t held_ = 0;
  std::size_t open_ = 0;

  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::list<boost::asio::steady_timer*> hold_timers_;  // touched on the io thread only
  unsigned short port_ = 0;
  std::thread thread_;
};

}  // namespace stratdesk::morvex_api::fake
