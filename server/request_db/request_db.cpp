#include "request_db/request_db.hpp"

#include <exception>
#include <utility>

#include "log/log.hpp"

namespace stratdesk::request_db {
namespace {

// Lives in the request's context; the request's end discards its uncommitted work.
class RequestConnection {
 public:
  RequestConnection(db::Database& database, db::Connection connection)
      : database_(database), connection_(std::move(connection)) {}
  RequestConnection(const RequestConnection&) = delete;
  RequestConnection& operator=(const RequestConnection&) = delete;

  ~RequestConnection() {
    try {
      connection_.rollback();
      database_.give_back(std::move(connection_));
    } catch (const std::exception& error) {
      // Not returned to the pool: closing the connection discards the transaction instead.
      log::logger().warning("dropping a request connection that could not roll back: {}",
                            error.what());
    }
  }

  db::Connection& connection() { return connection_; }

 private:
  db::Database& database_;
  db::Connection connection_;
};

}  // namespace

db::Connection& get_connection(http::Request& request, db::Database& database) {
  if (auto* existing = request.context().find<RequestConnection>()) {
    return existing->connection();
  }
  db::Connection connection = database.take_connection();
  return request.context().emplace<RequestConnection>(database, std::move(connection)).connection();
}

}  // namespace stratdesk::request_db
