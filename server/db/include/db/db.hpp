#pragma once

#include <functional>
#include <optional>
#include <string>

#include "db/connection.hpp"
#include "http/request.hpp"

// Storage: where the database lives, its schema, and the connection each request works on.
namespace stratdesk::db {

// Stores the database file path. No validation.
void set_sqlite_url(const std::string& url);
// The path last set, or nullopt before the first set_sqlite_url.
std::optional<std::string> get_sqlite_url();

// The first-run seeding step, run by check_env only when the database file did not exist
// before start-up, after the schema exists and before check_env commits. It opens its own
// connection. The host installs it; without one nothing is seeded.
void set_init_strategy(std::function<void()> init_stratey);

// Prepares the database at start-up: prints "connect ro sqlite url: <path>" on standard output,
// creates the missing tables and indexes (logging each step), seeds a new file, commits.
// Failures propagate; the connection is closed on every path.
void check_env();

// The request's connection, opened on first use within the request and kept in its context.
// When the request ends, whatever it left uncommitted is rolled back and the connection goes
// back to a small pool for the next request. Throws Error when the database cannot be opened
// (no url set, directory missing).
Connection& get_connection(http::Request& request);

// A new connection to `path` in the server's settings (WAL journal, 5 s busy wait).
Connection open_connection(const std::string& path);

}  // namespace stratdesk::db
