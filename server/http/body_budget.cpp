#include "http/body_budget.hpp"

#include <algorithm>
#include <utility>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace stratdesk::http {

BodyBudget::Reservation::Reservation(Reservation&& other) noexcept
    : budget_(std::move(other.budget_)), bytes_(std::exchange(other.bytes_, 0)) {}

BodyBudget::Reservation& BodyBudget::Reservation::operator=(Reservation&& other) noexcept {
  if (this != &other) {
    if (budget_ != nullptr) {
      budget_->give_back(bytes_);
    }
    budget_ = std::move(other.budget_);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

BodyBudget::Reservation::~Reservation() {
  if (budget_ != nullptr) {
    budget_->give_back(bytes_);
  }
}

boost::asio::awaitable<BodyBudget::Reservation> BodyBudget::reserve(std::size_t bytes) {
  bytes = std::min(bytes, capacity_);
  if (waiting_.empty() && in_use_ + bytes <= capacity_) {
    in_use_ += bytes;
    co_return Reservation(shared_from_this(), bytes);
  }
  auto waiter =
      std::make_shared<Waiter>(weak_from_this(), bytes, co_await boost::asio::this_coro::executor);
  const auto place = waiting_.insert(waiting_.end(), waiter);
  boost::system::error_code ec;
  co_await waiter->wake.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ec));
  if (!waiter->granted) {
    // Cancelled while waiting: the place goes, and whoever waited behind it may now fit.
    waiting_.erase(place);
    grant_waiting();
    throw boost::system::system_error(ec ? ec : boost::asio::error::operation_aborted);
  }
  waiter->taken = true;
  co_return Reservation(shared_from_this(), bytes);
}

void BodyBudget::give_back(std::size_t bytes) noexcept {
  in_use_ -= bytes;
  grant_waiting();
}

void BodyBudget::grant_waiting() noexcept {
  while (!waiting_.empty() && in_use_ + waiting_.front()->bytes <= capacity_) {
    const std::shared_ptr<Waiter> first = waiting_.front();
    waiting_.pop_front();
    in_use_ += first->bytes;
    first->granted = true;
    first->wake.cancel();
  }
}

}  // namespace stratdesk::http
