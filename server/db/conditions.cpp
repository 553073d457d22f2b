#include <sqlite3.h>

#include "db/connection.hpp"

namespace stratdesk::db {

std::string condition_message(int code) {
  switch (code & 0xFF) {
    case SQLITE_FULL:
      return "the disk holding the database is full: free some space and try again";
    case SQLITE_READONLY:
      return "the database file is read-only: make it writable and try again";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "the database is locked by another writer and stayed locked past the 5-second "
             "wait: try again later";
    case SQLITE_NOTADB:
      return "the database file is not a database: restore it or start the server with another "
             "--db";
    default:
      return {};
  }
}

}  // namespace stratdesk::db
