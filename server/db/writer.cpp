#include "db/writer.hpp"

#include "db/db.hpp"
#include "log/log.hpp"

namespace stratdesk::db {

Writer::Writer(const std::string& path)
    : work_guard_(io_.get_executor()), connection_(open_connection(path)) {
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
