#pragma once

#include <string>

#include "test_support.hpp"

// Collects the JSON answers the behaviour tests receive from servers under test, so that one
// process can check them all against the API document afterwards. Active only when the
// environment names a directory in STRATDESK_ANSWER_LOG; each test process appends one JSON
// line per answer to a file of its own there.
namespace stratdesk::test::answer_log {

// Notes that the server under test listening on `port` mounts its routes under `base_uri`;
// only answers of noted servers are collected.
void note_server(unsigned short port, const std::string& base_uri);

// Appends {"method", "target", "base_uri", "status", "body"} when `port` is a noted server's and
// the answer is JSON. Never throws: a log that cannot be written is reported on stderr.
void record(unsigned short port, const std::string& method, const std::string& target,
            const HttpResponse& response);

// Appends {"event", "data"} for an event a stream of a server under test carried, `data` being
// its data line. Never throws.
void record_event(const std::string& type, const std::string& data);

}  // namespace stratdesk::test::answer_log
