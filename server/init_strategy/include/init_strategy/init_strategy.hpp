#pragma once

#include "algorithms/algorithms.hpp"
#include "db/db.hpp"

// First-run seeding: the example strategies a newcomer finds in a new database.
namespace stratdesk::init_strategy {

// Writes the example strategies into `database`, through a connection of its own, with the
// parameters `extraction` finds in their code, and commits them. Throws when the database cannot
// be written.
void init_stratey(const db::Database& database, const algorithms::ExtractionSettings& extraction);

}  // namespace stratdesk::init_strategy
