#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json/value.hpp>

#include "db/db.hpp"
#include "db/read_pool.hpp"
#include "db/writer.hpp"
#include "events/event_hub.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "http/router.hpp"
#include "tasks/task_group.hpp"

// Algorithms: the user's strategies over HTTP, and the extraction of the parameters a strategy
// declares, done by a child interpreter that gets the source over a loopback socket.
namespace stratdesk::algorithms {

// How the parameter extraction runs.
struct ExtractionSettings {
  // The interpreter that runs the extraction module.
  std::string interpreter;
  // How long one extraction may take, from starting the child to its last answer byte. When it
  // passes, the parameters are "[]".
  std::chrono::milliseconds time_limit = std::chrono::seconds(10);
};

// The extraction runner the host builds once and hands to what saves strategies.
class ParameterExtraction {
 public:
  // A child still running when an extraction is over is reaped by a task of `reaping`.
  ParameterExtraction(ExtractionSettings settings, tasks::TaskGroup& reaping)
      : settings_(std::move(settings)), reaping_(&reaping) {}

  // Runs `interpreter -m kestrun_exparam PORT` against a fresh listener on 127.0.0.1 and
  // returns the JSON text the child answers, unchanged, or "[]" when the answer is not JSON,
  // when the child exits without connecting, or when the time limit passes (those two with a
  // warning in the log). Throws common::Error (internal, with a message) when the child cannot
  // be started, when the connection closes before the answer's length, when the answer is not
  // UTF-8 and when the source is too long for a frame. Other tasks run while it waits: the
  // caller must hold no transaction open. The listener and the connection are closed on every
  // path; the child is never stopped, and it is reaped by a task on the calling executor once
  // it exits.
  [[nodiscard]] boost::asio::awaitable<std::string> get_parameter(std::string source_code) const;

  [[nodiscard]] const ExtractionSettings& settings() const { return settings_; }

 private:
  ExtractionSettings settings_;
  tasks::TaskGroup* reaping_;
};

// The extraction's answer as read from its connection.
struct ExtractionAnswer {
  std::string body;
  bool is_json = false;  // the body is the parameters text; otherwise they are "[]"
};

// Sends the request `frame` on `socket` and reads the answer frame (4-byte little-endian signed
// length, then the body) before `deadline`, testing the body; nullopt when the deadline passed
// first. Throws common::Error (internal) when the connection closes before the length or fails
// while the answer is read, and when the body is not UTF-8; a body cut short by the peer's
// close is tested as it arrived.
boost::asio::awaitable<std::optional<ExtractionAnswer>> exchange_with_extraction(
    boost::asio::ip::tcp::socket& socket, const std::string& frame,
    std::chrono::steady_clock::time_point deadline);

// The `securities` column for a configuration's "securities" member: a string as is, any other
// value as its JSON text (as Python's json.dumps writes it).
std::string securities_text(const boost::json::value& securities);

// GET and POST <base>/algorithms.
class AlgorithmList final {
 public:
  // Creations are written on `writer`.
  AlgorithmList(db::ReadPool& reads, db::Writer& writer, const ParameterExtraction& extraction)
      : reads_(reads), writer_(writer), extraction_(extraction) {}
  // Every algorithm row, in id order.
  boost::asio::awaitable<http::Response> get(http::Request& req);
  // Creates an algorithm from the form fields name, code and config; answers {"id": id}.
  boost::asio::awaitable<http::Response> post(http::Request& req);

 private:
  db::ReadPool& reads_;
  db::Writer& writer_;
  const ParameterExtraction& extraction_;
};

// GET, PATCH and DELETE <base>/algorithms/<id>.
class Algorithm final {
 public:
  // What deleting an algorithm touches beyond its rows.
  struct DeletionEffects {
    // The launched strategy files' directory: the folders of the deleted backtests go with
    // them. "" keeps them.
    std::string strategy_dir;
    // Where committed deletions are announced; never null.
    std::shared_ptr<events::EventHub> hub;
  };

  // Changes and deletions are written on `writer`.
  Algorithm(db::ReadPool& reads, db::Writer& writer, const ParameterExtraction& extraction,
            DeletionEffects effects)
      : reads_(reads), writer_(writer), extraction_(extraction), effects_(std::move(effects)) {}
  // The row, or null.
  boost::asio::awaitable<http::Response> get(http::Request& req, std::int64_t algorithm_id);
  // Sets the columns named by the form fields; a field that names no column is answered 400
  // and nothing changes. A sent "code" re-runs the extraction. Answers {"id": algorithm_id}.
  boost::asio::awaitable<http::Response> patch(http::Request& req, std::int64_t algorithm_id);
  // Deletes the algorithm with its backtests: {"id": algorithm_id}, or the refusal map when
  // one of them runs.
  boost::asio::awaitable<http::Response> delete_(http::Request& req, std::int64_t algorithm_id);

 private:
  db::ReadPool& reads_;
  db::Writer& writer_;
  const ParameterExtraction& extraction_;
  DeletionEffects effects_;
};

// GET <base>/algorithms/<id>/parameters: the stored parameters text as one JSON string.
class AlgorithmParameter final {
 public:
  explicit AlgorithmParameter(db::ReadPool& reads) : reads_(reads) {}
  boost::asio::awaitable<http::Response> get(http::Request& req, std::int64_t algorithm_id);

 private:
  db::ReadPool& reads_;
};

// Mounts AlgorithmList, Algorithm and AlgorithmParameter under `base_uri`, in that order; every
// read runs on `reads` and every write on `writer`. They and the extraction must outlive `api`.
void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  db::Writer& writer, const ParameterExtraction& extraction,
                  Algorithm::DeletionEffects deletion_effects);

}  // namespace stratdesk::algorithms
