#include "fake_analytics.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/array.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "common/json_text.hpp"

namespace stratdesk::morvex_api::fake {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::json::array;
using boost::json::object;
using boost::json::value;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

std::string length_prefix(std::int64_t length) {
  const auto raw = static_cast<std::uint32_t>(static_cast<std::int32_t>(length));
  std::string out;
  for (int shift = 0; shift < 32; shift += 8) {
    out += static_cast<char>((raw >> shift) & 0xFF);
  }
  return out;
}

std::int32_t read_prefix(const std::string& header) {
  std::uint32_t raw = 0;
  for (int i = 3; i >= 0; --i) {
    raw = (raw << 8) | static_cast<unsigned char>(header[static_cast<std::size_t>(i)]);
  }
  return static_cast<std::int32_t>(raw);
}

// Counts a connection as open for as long as it lives.
class OpenConnection {
 public:
  OpenConnection(std::mutex& mutex, std::size_t& open) : mutex_(mutex), open_(open) {
    std::lock_guard lock(mutex_);
    ++open_;
  }
  ~OpenConnection() {
    std::lock_guard lock(mutex_);
    --open_;
  }
  OpenConnection(const OpenConnection&) = delete;
  OpenConnection& operator=(const OpenConnection&) = delete;

 private:
  std::mutex& mutex_;
  std::size_t& open_;
};

}  // namespace

std::string Received::cmd() const {
  if (request.is_object()) {
    if (const value* cmd = request.get_object().if_contains("cmd"); cmd && cmd->is_string()) {
      return std::string(cmd->get_string());
    }
  }
  return {};
}

FakeAnalytics::FakeAnalytics()
    : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
  port_ = acceptor_.local_endpoint().port();
  answers_["get_id_symbol_map"] = [](const object&) -> value {
    return object{
        {"600519.XSHG", "云岭酒业"}, {"000001.XSHE", "青石银行"}, {"600000.XSHG", "江澜银行"}};
  };
  answers_["single_exposure_analysis"] = [](const object& request) -> value {
    const std::size_t positions =
        request.at("portfolio").as_object().at("positions").as_array().size();
    return object{{"date", request.at("date")},
                  {"factors", array{"size", "value"}},
                  {"portfolio_exposure", object{{"size", static_cast<double>(positions)}}},
                  {"st_stock_weight", 0.0},
                  {"new_stock_weight", 0.5},
                  {"warnings", array{}}};
  };
  asio::co_spawn(io_, accept_loop(), asio::detached);
  thread_ = std::thread([this] { io_.run(); });
}

FakeAnalytics::~FakeAnalytics() {
  io_.stop();
  thread_.join();
}

void FakeAnalytics::set_mode(Mode mode) {
  std::lock_guard lock(mutex_);
  mode_ = mode;
}

void FakeAnalytics::on(const std::string& cmd, Answer answer) {
  std::lock_guard lock(mutex_);
  answers_[cmd] = std::move(answer);
}

std::vector<Received> FakeAnalytics::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<Received> FakeAnalytics::received(const std::string& cmd) const {
  std::vector<Received> matching;
  for (Received& r : received()) {
    if (r.cmd() == cmd) {
      matching.push_back(std::move(r));
    }
  }
  return matching;
}

void FakeAnalytics::clear() {
  std::lock_guard lock(mutex_);
  received_.clear();
}

std::size_t FakeAnalytics::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void FakeAnalytics::release() {
  asio::post(io_, [this] {
    for (asio::steady_timer* timer : hold_timers_) {
      timer->cancel();
    }
  });
}

std::size_t FakeAnalytics::open_connections() const {
  std::lock_guard lock(mutex_);
  return open_;
}

bool FakeAnalytics::wait_for(const std::function<bool()>& condition,
                             std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

value FakeAnalytics::answer_to(const value& request) {
  Answer answer;
  {
    std::lock_guard lock(mutex_);
    const std::string cmd = Received{{}, request}.cmd();
    if (const auto found = answers_.find(cmd); found != answers_.end()) {
      answer = found->second;
    }
  }
  if (answer) {
    return answer(request.as_object());
  }
  return object{{"answered", Received{{}, request}.cmd()},
                {"benchmark", "from-service"},
                {"start_date", "from-service"},
                {"backtest_start_date", "from-service"}};
}

asio::awaitable<void> FakeAnalytics::accept_loop() {
  for (;;) {
    auto [ec, socket] = co_await acceptor_.async_accept(use_tuple);
    if (ec) {
      co_return;
    }
    asio::co_spawn(io_, serve(std::move(socket)), asio::detached);
  }
}

asio::awaitable<void> FakeAnalytics::serve(tcp::socket socket) {
  const OpenConnection counted(mutex_, open_);

  std::string header(4, '\0');
  if (auto [ec, n] = co_await asio::async_read(socket, asio::buffer(header), use_tuple); ec) {
    co_return;
  }
  std::string body(static_cast<std::size_t>(std::max(read_prefix(header), 0)), '\0');
  if (auto [ec, n] = co_await asio::async_read(socket, asio::buffer(body), use_tuple); ec) {
    co_return;
  }
  boost::system::error_code parse_error;
  Received received{header + body, boost::json::parse(body, parse_error)};
  Mode mode;
  {
    std::lock_guard lock(mutex_);
    received_.push_back(received);
    mode = mode_;
  }
  // Written as Python's json.dumps writes, NaN and Infinity included.
  std::string text;
  if (received.request.is_object()) {
    common::append_json(text, answer_to(received.request), common::python_json_style);
  } else {
    text = R"({"error": "not an object"})";
  }
  const std::string frame = length_prefix(static_cast<std::int64_t>(text.size())) + text;

  std::string reply;
  bool close_after = false;
  bool in_pieces = false;
  switch (mode) {
    case Mode::answer:
    case Mode::hold:
      reply = frame;
      break;
    case Mode::segmented:
      reply = frame;
      in_pieces = true;
      break;
    case Mode::extra_bytes:
      reply = frame + R"({"more": "than announced"})";
      break;
    case Mode::empty_body:
      reply = length_prefix(0);
      break;
    case Mode::garbage:
      reply = length_prefix(17) + "this is not JSON!";
      break;
    case Mode::truncated:
      reply =
          length_prefix(static_cast<std::int64_t>(text.size())) + text.substr(0, text.size() / 2);
      close_after = true;
      break;
    case Mode::close_early:
      close_after = true;
      break;
    case Mode::silent:
      break;
  }
  if (mode == Mode::hold) {
    co_await hold();
  }
  co_await write_reply(socket, reply, in_pieces);
  if (!close_after) {
    co_await wait_for_close(socket);
  }
}

asio::awaitable<void> FakeAnalytics::hold() {
  asio::steady_timer gate(io_, asio::steady_timer::time_point::max());
  hold_timers_.push_back(&gate);
  {
    std::lock_guard lock(mutex_);
    ++held_;
  }
  co_await gate.async_wait(use_tuple);
  hold_timers_.remove(&gate);
  std::lock_guard lock(mutex_);
  --held_;
}

asio::awaitable<void> FakeAnalytics::write_reply(tcp::socket& socket, const std::string& reply,
                                                 bool in_pieces) {
  const std::size_t piece = in_pieces ? 3 : std::max<std::size_t>(reply.size(), 1);
  for (std::size_t at = 0; at < reply.size(); at += piece) {
    co_await asio::async_write(
        socket, asio::buffer(reply.data() + at, std::min(piece, reply.size() - at)), use_tuple);
    if (in_pieces) {
      asio::steady_timer pause(io_, std::chrono::milliseconds(1));
      co_await pause.async_wait(use_tuple);
    }
  }
}

// The client closes the connection once it has its answer (or has given up): waiting for that
// lets open_connections() tell whether it did.
asio::awaitable<void> FakeAnalytics::wait_for_close(tcp::socket& socket) {
  asio::steady_timer limit(io_, std::chrono::seconds(20));
  std::array<char, 256> scratch{};
  for (;;) {
    auto [order, read_ec, got, timer_ec] =
        co_await asio::experimental::make_parallel_group(
            socket.async_read_some(asio::buffer(scratch), asio::deferred),
            limit.async_wait(asio::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    if (order[0] == 1 || read_ec) {
      co_return;
    }
  }
}

}  // namespace stratdesk::morvex_api::fake
