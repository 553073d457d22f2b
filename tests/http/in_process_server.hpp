// A fixture running an http::Server on its own thread in the test process, for tests that look
// at the HTTP layer alone with routes of their own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "http/router.hpp"
#include "http/server.hpp"

namespace stratdesk::http::test_support {

class InProcessServerTest : public ::testing::Test {
 protected:
  // Serves the routes added to api_ so far on a free loopback port.
  void serve(const ServerOptions& options) {
    server_ = std::make_unique<Server>(io_, api_, options);
    port_ = server_->listen("127.0.0.1", 0).port();
    server_->start();
    thread_ = std::thread([this] { io_.run(); });
  }

  // A test may have shut the server down and joined the thread itself.
  void TearDown() override {
    if (thread_.joinable()) {
      boost::asio::post(
          io_, [this] { server_->shutdown(std::chrono::seconds(2), [this] { io_.stop(); }); });
      thread_.join();
    }
  }

  boost::asio::io_context io_;
  Api api_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  unsigned short port_ = 0;
};

}  // namespace stratdesk::http::test_support
