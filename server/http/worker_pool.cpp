#include "http/worker_pool.hpp"

#include <algorithm>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>

namespace stratdesk::http {

WorkerPool::WorkerPool(std::size_t threads, std::size_t queue_limit)
    : threads_(std::max<std::size_t>(threads, 1)),
      queue_limit_(std::max<std::size_t>(queue_limit, 1)),
      pool_(threads_) {}

WorkerPool::~WorkerPool() {
  pool_.join();
}

std::size_t WorkerPool::threads_for(unsigned cores) {
  return std::clamp<std::size_t>(cores, 2, 4);
}

boost::asio::awaitable<void> WorkerPool::take_place() {
  if (taken_ < queue_limit_) {
    ++taken_;
    co_return;
  }
  auto timer = std::make_shared<boost::asio::steady_timer>(
      co_await boost::asio::this_coro::executor, boost::asio::steady_timer::time_point::max());
  waiting_.push_back(timer);
  // Woken by a cancel once a place is handed over; the place then counts as ours already.
  co_await timer->async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
  if (const auto still = std::find(waiting_.begin(), waiting_.end(), timer);
      still != waiting_.end()) {
    // The wait itself was cancelled (the connection is going away): no place was handed over.
    waiting_.erase(still);
    throw boost::system::system_error(boost::asio::error::operation_aborted);
  }
}

void WorkerPool::give_place_back() noexcept {
  if (waiting_.empty()) {
    --taken_;
    return;
  }
  const auto next = std::move(waiting_.front());
  waiting_.pop_front();
  next->cancel();
}

}  // namespace stratdesk::http
