#pragma once

#include "db/connection.hpp"
#include "db/db.hpp"
#include "http/request.hpp"

// The database connection of one HTTP request: the glue between the request's context and the
// database's pool, so that neither knows the other.
namespace stratdesk::request_db {

// The request's connection to `database`, taken from its pool on first use within the request
// and kept in the request's context. When the request ends, whatever it left uncommitted is
// rolled back and the connection goes back to the pool. `database` must outlive the request.
// Throws db::Error when the database cannot be opened.
db::Connection& get_connection(http::Request& request, db::Database& database);

}  // namespace stratdesk::request_db
