#pragma once

// First-run seeding: the example strategies a newcomer finds in a new database.
namespace stratdesk::init_strategy {

// Writes the example strategies into the database at db::get_sqlite_url(), through a connection
// of its own, and commits them. Throws when the database cannot be written.
void init_stratey();

}  // namespace stratdesk::init_strategy
