// A fixture running an http::Server on its own thread in the test process, for tests that look
// at the HTTP layer alone with routes of their own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include <functional>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "http/router.hpp"
#include "http/server.hpp"
#include "tasks/task_group.hpp"

namespace stratdesk::http::test_support {

class InProcessServerTest : public ::testing::Test {
 protected:
  // Serves the routes added to api_ so far on a free loopback port.
  void serve(const ServerOptions& options) {
    server_ = std::make_unique<Server>(io_, api_, tasks_, options);
    port_ = server_->listen("127.0.0.1", 0).port();
    server_->start();
    thread_ = std::thread([this] { io_.run(); });
  }

  // A test may have shut the server down and joined the thread itself.
  void TearDown() override {
    if (thread_.joinable()) {
      stop_within(std::chrono::seconds(2));
      thread_.join();
    }
  }

  // Shuts the server down from its own thread and stops the loop once it has; `stopped`, when
  // given, is called just before.
  void stop_within(std::chrono::milliseconds grace, std::function<void()> stopped = {}) {
    boost::asio::co_spawn(
        io_,
        [this, grace, stopped = std::move(stopped)]() -> boost::asio::awaitable<void> {
          co_await server_->shutdown(grace);
          if (stopped) {
            stopped();
          }
          io_.stop();
        },
        boost::asio::detached);
  }

  tasks::TaskGroup tasks_;  // before the loop: it outlives what the loop still holds
  boost::asio::io_context io_;
  Api api_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  unsigned short port_ = 0;
};

}  // namespace stratdesk::http::test_support
