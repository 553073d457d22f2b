#include "db/writer.hpp"

#include "log/log.hpp"

namespace stratdesk::db {

Writer::Writer(const Database& database)
    : work_guard_(io_.get_executor()), connection_(database.open_connection()) {
  thread_ = std::thread([this] { io_.run(); });
}

Writer::~Writer() {
  work_guard_.reset();
  thread_.join();
}

Writer::EndOfWork::~EndOfWork() {
  if (!connection.in_transaction()) {
    return;
  }
  try {
    connection.rollback();
  } catch (const std::exception& error) {
    // The connection is the writer's only one: a failed roll-back would leave every later
    // transaction inside this one, so say so loudly.
    log::logger().error("database writer: roll-back failed: {}", error.what());
  }
}

}  // namespace stratdesk::db
