#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

namespace stratdesk::http {

// The memory all request bodies being received and handled may take together. A large body is
// read only once its size fits in what the others leave; until then its connection is simply
// not read, and the client's sends wait in TCP. Turns are given in the order asked, so a large
// body is not passed over for ever by smaller ones. A body larger than the whole budget gets it
// all, once nothing else holds any. Lives on the one event-loop thread, owned by shared
// pointers: a connection's frame may outlive the server that made the budget.
class BodyBudget : public std::enable_shared_from_this<BodyBudget> {
 public:
  // A share of the budget, given back when it goes away.
  class Reservation {
   public:
    Reservation() = default;
    Reservation(Reservation&& other) noexcept;
    Reservation& operator=(Reservation&& other) noexcept;
    ~Reservation();
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

   private:
    friend class BodyBudget;
    Reservation(std::shared_ptr<BodyBudget> budget, std::size_t bytes)
        : budget_(std::move(budget)), bytes_(bytes) {}
    std::shared_ptr<BodyBudget> budget_;
    std::size_t bytes_ = 0;
  };

  explicit BodyBudget(std::size_t bytes) : capacity_(bytes) {}
  BodyBudget(const BodyBudget&) = delete;
  BodyBudget& operator=(const BodyBudget&) = delete;

  // Waits until `bytes` (at most the whole budget) fit, then holds them. Throws
  // boost::system::system_error when the wait is cancelled.
  boost::asio::awaitable<Reservation> reserve(std::size_t bytes);

  [[nodiscard]] std::size_t capacity() const { return capacity_; }
  [[nodiscard]] std::size_t in_use() const { return in_use_; }

 private:
  // A reservation waiting for its turn. Granted bytes that never reach a Reservation (the
  // waiting coroutine was destroyed before it resumed) are given back when the waiter goes.
  struct Waiter {
    Waiter(std::weak_ptr<BodyBudget> budget, std::size_t bytes,
           const boost::asio::any_io_executor& executor)
        : budget(std::move(budget)),
          bytes(bytes),
          wake(executor, boost::asio::steady_timer::time_point::max()) {}
    ~Waiter() {
      if (const auto owner = budget.lock(); owner && granted && !taken) {
        owner->give_back(bytes);
      }
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    std::weak_ptr<BodyBudget> budget;
    std::size_t bytes;
    boost::asio::steady_timer wake;
    bool granted = false;
    bool taken = false;
  };

  void give_back(std::size_t bytes) noexcept;
  // Grants waiting reservations in order while the first of them fits.
  void grant_waiting() noexcept;

  std::size_t capacity_;
  std::size_t in_use_ = 0;
  std::list<std::shared_ptr<Waiter>> waiting_;
};

}  // namespace stratdesk::http
