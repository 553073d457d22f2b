#include "http/body_budget.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

namespace stratdesk::http {
namespace {

namespace asio = boost::asio;

// Reservations asked on a one-thread loop; each is kept until the test lets it go.
class BodyBudgetTest : public ::testing::Test {
 protected:
  void ask(const std::string& name, std::size_t bytes) {
    asio::co_spawn(
        io_,
        [this, name, bytes]() -> asio::awaitable<void> {
          try {
            held_[name] = co_await budget_->reserve(bytes);
            granted_.push_back(name);
          } catch (const boost::system::system_error&) {
            granted_.push_back(name + " cancelled");
          }
        },
        asio::detached);
    run_ready();
  }
  void let_go(const std::string& name) {
    held_.erase(name);
    run_ready();
  }
  void run_ready() {
    io_.restart();  // a loop that ran out of work stays stopped until restarted
    io_.poll();
  }

  asio::io_context io_;
  std::shared_ptr<BodyBudget> budget_ = std::make_shared<BodyBudget>(100);
  std::map<std::string, BodyBudget::Reservation> held_;
  std::vector<std::string> granted_;
};

TEST_F(BodyBudgetTest, BodiesWaitInTurnUntilWhatTheyNeedIsFree) {
  ask("a", 60);
  ask("b", 60);
  ask("c", 10);  // fits, but waits behind b so that b is not passed over for ever
  EXPECT_EQ(granted_, (std::vector<std::string>{"a"}));
  EXPECT_EQ(budget_->in_use(), 60u);
  let_go("a");
  EXPECT_EQ(granted_, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(budget_->in_use(), 70u);
  let_go("b");
  let_go("c");
  EXPECT_EQ(budget_->in_use(), 0u);
}

TEST_F(BodyBudgetTest, ABodyLargerThanTheBudgetIsReadAloneRatherThanNever) {
  ask("small", 10);
  ask("huge", 5000);
  EXPECT_EQ(granted_, (std::vector<std::string>{"small"}));
  let_go("small");
  EXPECT_EQ(granted_, (std::vector<std::string>{"small", "huge"}));
  EXPECT_EQ(budget_->in_use(), 100u);
  let_go("huge");
  EXPECT_EQ(budget_->in_use(), 0u);
}

// A connection closed while it waits (the server stopping) gives its place to those behind it,
// and a grant that never reached its coroutine is not lost from the budget.
TEST_F(BodyBudgetTest, WaitsThatEndWithoutAReadingGiveEverythingBack) {
  {
    asio::io_context other;
    ask("a", 80);
    asio::co_spawn(
        other, [this]() -> asio::awaitable<void> { (void)co_await budget_->reserve(50); },
        asio::detached);
    other.restart();
    other.poll();  // waits behind a, on a loop that is then destroyed
    ask("b", 20);
    let_go("a");  // grants the abandoned wait first: its bytes must come back
  }
  EXPECT_EQ(budget_->in_use(), 20u);
  let_go("b");
  EXPECT_EQ(budget_->in_use(), 0u);
}

}  // namespace
}  // namespace stratdesk::http
