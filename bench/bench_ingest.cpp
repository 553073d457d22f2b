// Feed ingestion against the real server, each figure beside the same rows inserted straight
// into SQLite with the server's schema and journal settings (the floor no HTTP server can beat):
// - time-ordered position rows, as an engine posts them: each bar's 100 instruments on one
//   date, each POST continuing the dates where the previous POST of its backtest ended;
// - the same rows cycling over a few hundred dates, which scatters the index inserts;
// - one mixed-kind POST per bar (portfolio, positions, trades, risk), as an engine posts at the
//   end of each bar;
// - page reads of another backtest every 10 ms while one 30 MB POST is stored, beside the same
//   probe without it.

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "bench_common.hpp"
#include "test_support.hpp"

namespace {

using namespace stratdesk;
using bench::Clock;

constexpr int instruments_per_bar = 100;
constexpr int bars_per_post = 5;  // 500 position rows per POST
constexpr auto run_time = std::chrono::seconds(6);
constexpr int algorithm_id = 3;

// "YYYY-MM-DD" of 2000-01-01 plus `days` (days from civil, after H. Hinnant's algorithm).
std::string calendar_date(int days) {
  const int z = days + 730425;  // 2000-01-01 is day 730,425 of the proleptic era
  const int era = z / 146097;
  const int doe = z - era * 146097;
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  const int day = doy - (153 * mp + 2) / 5 + 1;
  const int month = mp < 10 ? mp + 3 : mp - 9;
  const int year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

// The date text of a row's bar slot before rendering; digits and dashes survive URL encoding.
constexpr std::string_view slot_marker = "1111-11-1";
std::string slot_datetime(int slot) {
  return std::string(slot_marker) + std::to_string(slot) + " 15:00:00";
}

using Post = std::vector<std::pair<std::string, boost::json::array>>;

boost::json::array position_bar(int backtest, int slot) {
  boost::json::array rows;
  for (int i = 0; i < instruments_per_bar; ++i) {
    auto row = bench::position_row(algorithm_id, backtest, i);
    row[2] = slot_datetime(slot).c_str();
    rows.push_back(std::move(row));
  }
  return rows;
}

Post position_post(int backtest) {
  boost::json::array rows;
  for (int slot = 0; slot < bars_per_post; ++slot) {
    for (auto& row : position_bar(backtest, slot)) {
      rows.push_back(std::move(row));
    }
  }
  return {{"position_feeds", std::move(rows)}};
}

// What an engine posts when a bar ends: both portfolio rows, every position, a few trades and
// the risk figures.
Post bar_end_post(int backtest) {
  const auto datetime = slot_datetime(0);
  boost::json::array portfolio;
  for (int benchmark : {0, 1}) {
    portfolio.push_back(boost::json::array{algorithm_id, backtest, datetime.c_str(), benchmark,
                                           250000.5, 1012345.25, 762344.75, 1.0123, 1000000.0,
                                           1.0101, 0.0123, 0.0456, 1012345.25, 0.0012, 1000000.0});
  }
  boost::json::array trades;
  for (int i = 0; i < 10; ++i) {
    const std::string id = std::to_string(backtest) + "-" + std::to_string(i);
    trades.push_back(boost::json::array{algorithm_id, backtest, datetime.c_str(),
                                        (i % 2 ? "000001.XSHE" : "600000.XSHG"), id.c_str(), "BUY",
                                        "OPEN", ("e" + id).c_str(), 5.12, 100.0 * (i + 1),
                                        10.24 + i, 5.0, 0.12});
  }
  boost::json::array risk{boost::json::array{algorithm_id, backtest, datetime.c_str(), 0.012, 0.98,
                                             1.34, 1.87, 0.45, 0.18, -0.07, 0.03, 0.11}};
  return {{"portfolio_feeds", std::move(portfolio)},
          {"position_feeds", position_bar(backtest, 0)},
          {"trade_feeds", std::move(trades)},
          {"risk_feeds", std::move(risk)}};
}

long row_count(const Post& post) {
  long rows = 0;
  for (const auto& [kind, batch] : post) {
    rows += static_cast<long>(batch.size());
  }
  return rows;
}

// A POST whose rows carry date slots, rendered for any first bar: the request body by patching
// the encoded text in place, the rows for SQLite by patching their datetime values.
class PostTemplate {
 public:
  explicit PostTemplate(Post post) : post_(std::move(post)) {
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [kind, rows] : post_) {
      fields.emplace_back(kind, boost::json::serialize(rows));
    }
    body_ = test::form_encode(fields);
    for (auto at = body_.find(slot_marker); at != std::string::npos;
         at = body_.find(slot_marker, at + 1)) {
      slots_.emplace_back(at, body_[at + slot_marker.size()] - '0');
    }
  }

  [[nodiscard]] std::string body(int first_bar) const {
    std::string body = body_;
    for (const auto& [at, slot] : slots_) {
      const auto date = calendar_date(first_bar + slot);
      body.replace(at, date.size(), date);
    }
    return body;
  }

  // The rows with their datetimes still as bar slots.
  [[nodiscard]] const Post& slotted_rows() const { return post_; }

  [[nodiscard]] int bars() const {
    int bars = 0;
    for (const auto& slot : slots_) {
      bars = std::max(bars, slot.second + 1);
    }
    return bars;
  }
  [[nodiscard]] long rows_per_post() const { return row_count(post_); }
  [[nodiscard]] std::size_t body_size() const { return body_.size(); }

 private:
  Post post_;
  std::string body_;
  std::vector<std::pair<std::size_t, int>> slots_;
};

// A database file with the server's own schema, made once by a server start, copied for every
// measurement so that each starts from the same small file.
class SchemaFile {
 public:
  explicit SchemaFile(const test::TempDir& dir) : path_(dir.file("schema.db")) {
    const std::string data = dir.file("schema-server");
    {
      test::ServerProcess server(data);
      server.stop();
    }
    std::filesystem::copy_file(data + "/stratdesk.db", path_);
  }
  [[nodiscard]] std::string fresh_copy(const std::string& path) const {
    std::filesystem::copy_file(path_, path, std::filesystem::copy_options::overwrite_existing);
    return path;
  }

 private:
  std::string path_;
};

// A POST's rows made ready for SQLite before any timing: each value as the server binds it
// (text from where it lies, never copied), a datetime as the slot of its bar.
class FlatPost {
 public:
  struct Cell {
    enum class Type { integer, real, text, datetime } type = Type::integer;
    std::int64_t integer = 0;
    double real = 0;
    std::string text;
    int slot = 0;
  };
  struct Kind {
    std::string table;
    std::size_t columns = 0;
    std::vector<Cell> cells;
    [[nodiscard]] std::size_t rows() const { return cells.size() / columns; }
  };

  explicit FlatPost(const Post& post) {
    for (const auto& [table, rows] : post) {
      Kind kind{table, rows.at(0).as_array().size(), {}};
      for (const auto& row : rows) {
        for (const auto& value : row.as_array()) {
          kind.cells.push_back(cell(value));
        }
      }
      kinds_.push_back(std::move(kind));
    }
  }
  [[nodiscard]] const std::vector<Kind>& kinds() const { return kinds_; }

 private:
  static Cell cell(const boost::json::value& value) {
    Cell cell;
    if (value.is_int64()) {
      cell.integer = value.get_int64();
    } else if (value.is_double()) {
      cell.type = Cell::Type::real;
      cell.real = value.get_double();
    } else if (const auto& text = value.get_string(); text.starts_with(slot_marker)) {
      cell.type = Cell::Type::datetime;
      cell.slot = text[slot_marker.size()] - '0';
    } else {
      cell.type = Cell::Type::text;
      cell.text = text;
    }
    return cell;
  }

  std::vector<Kind> kinds_;
};

// Every bar's datetime text, made before timing: bar n is 2000-01-01 plus n days.
class Datetimes {
 public:
  explicit Datetimes(int bars) {
    texts_.reserve(static_cast<std::size_t>(bars));
    for (int bar = 0; bar < bars; ++bar) {
      texts_.push_back(calendar_date(bar) + " 15:00:00");
    }
  }
  [[nodiscard]] const std::string& at(int bar) const {
    return texts_.at(static_cast<std::size_t>(bar));
  }
  [[nodiscard]] int bars() const { return static_cast<int>(texts_.size()); }

 private:
  std::vector<std::string> texts_;
};

// SQLite with the server's settings and schema, one transaction per POST, stored as the server
// stores a POST: multi-row INSERTs of 50 rows and one of the rest, prepared before timing, text
// bound without copying.
class RawDatabase {
 public:
  RawDatabase(const std::string& path, const std::string& pragmas) {
    bench::check(sqlite3_open(path.c_str(), &db_), db_, "open");
    bench::check(sqlite3_exec(db_, pragmas.c_str(), nullptr, nullptr, nullptr), db_, "pragmas");
  }
  ~RawDatabase() {
    for (auto& [key, statement] : statements_) {
      sqlite3_finalize(statement);
    }
    sqlite3_close(db_);
  }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  // Prepares the statements `post` needs; store() then finds them without building any SQL.
  void prepare(const FlatPost& post) {
    for (const auto& kind : post.kinds()) {
      for (std::size_t rows : {chunk, kind.rows() % chunk}) {
        if (rows != 0) {
          prepared_.push_back({{kind.table, rows}, prepared(kind.table, kind.columns, rows)});
        }
      }
    }
  }

  // Stores `post` with its first bar at `first_bar`.
  void store(const FlatPost& post, const Datetimes& datetimes, int first_bar) {
    exec("BEGIN");
    for (const auto& kind : post.kinds()) {
      sqlite3_stmt* full = statement_for(kind, chunk);
      const std::size_t rows = kind.rows();
      std::size_t first = 0;
      for (; first + chunk <= rows; first += chunk) {
        insert(full, kind, first, chunk, datetimes, first_bar);
      }
      if (first < rows) {
        insert(statement_for(kind, rows - first), kind, first, rows - first, datetimes, first_bar);
      }
    }
    exec("COMMIT");
  }

 private:
  static constexpr std::size_t chunk = 50;

  void exec(const char* sql) {
    bench::check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), db_, sql);
  }

  sqlite3_stmt* statement_for(const FlatPost::Kind& kind, std::size_t rows) {
    if (kind.rows() < rows) {
      return nullptr;
    }
    // The kinds of a benchmark are few: a linear look-up costs what the server's does.
    for (const auto& [key, statement] : prepared_) {
      if (key.second == rows && key.first == kind.table) {
        return statement;
      }
    }
    throw std::runtime_error("statement not prepared for " + kind.table);
  }

  void insert(sqlite3_stmt* statement, const FlatPost::Kind& kind, std::size_t first,
              std::size_t count, const Datetimes& datetimes, int first_bar) {
    int index = 1;
    const auto* cell = kind.cells.data() + first * kind.columns;
    const auto* end = cell + count * kind.columns;
    for (; cell != end; ++cell, ++index) {
      switch (cell->type) {
        case FlatPost::Cell::Type::integer:
          sqlite3_bind_int64(statement, index, cell->integer);
          break;
        case FlatPost::Cell::Type::real:
          sqlite3_bind_double(statement, index, cell->real);
          break;
        case FlatPost::Cell::Type::text:
          sqlite3_bind_text(statement, index, cell->text.data(),
                            static_cast<int>(cell->text.size()), SQLITE_STATIC);
          break;
        case FlatPost::Cell::Type::datetime: {
          const std::string& text = datetimes.at(first_bar + cell->slot);
          sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_STATIC);
          break;
        }
      }
    }
    bench::check(sqlite3_step(statement), db_, "insert");
    sqlite3_reset(statement);
  }

  sqlite3_stmt* prepared(const std::string& kind, std::size_t values, std::size_t rows) {
    const auto key = kind + "/" + std::to_string(rows);
    if (auto found = statements_.find(key); found != statements_.end()) {
      return found->second;
    }
    std::string sql = "INSERT INTO " + kind + " (" + columns(kind) + ") VALUES ";
    std::string placeholders = "(?";
    for (std::size_t i = 1; i < values; ++i) {
      placeholders += ", ?";
    }
    placeholders += ")";
    for (std::size_t r = 0; r < rows; ++r) {
      sql += (r == 0 ? "" : ", ") + placeholders;
    }
    sqlite3_stmt* statement = nullptr;
    bench::check(
        sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr),
        db_, "prepare");
    statements_.emplace(key, statement);
    return statement;
  }

  // Every column of `table` but the row id, in table order.
  std::string columns(const std::string& table) {
    sqlite3_stmt* info = nullptr;
    bench::check(
        sqlite3_prepare_v2(db_, ("PRAGMA table_info(" + table + ")").c_str(), -1, &info, nullptr),
        db_, "table_info");
    std::string list;
    while (sqlite3_step(info) == SQLITE_ROW) {
      const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(info, 1));
      if (name != "id") {
        list += (list.empty() ? "" : ", ") + name;
      }
    }
    sqlite3_finalize(info);
    return list;
  }

  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
  std::vector<std::pair<std::pair<std::string, std::size_t>, sqlite3_stmt*>> prepared_;
};

const std::string server_pragmas = "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;";

// One post template per engine, each engine posting to a backtest of its own.
std::vector<PostTemplate> engine_templates(Post (*post)(int backtest), int engines) {
  std::vector<PostTemplate> templates;
  for (int engine = 0; engine < engines; ++engine) {
    templates.emplace_back(post(7 + engine));
  }
  return templates;
}

// Rows per second SQLite stores when the engines of `templates` post round robin, each
// continuing its own dates. Every row and date is made before the clock starts.
double raw_time_ordered(const std::string& path, const std::vector<PostTemplate>& templates) {
  RawDatabase db(path, server_pragmas);
  std::vector<FlatPost> posts;
  for (const auto& templ : templates) {
    posts.emplace_back(templ.slotted_rows());
    db.prepare(posts.back());
  }
  const Datetimes datetimes(200000);
  const auto engines = static_cast<int>(templates.size());
  long rows = 0;
  const auto start = Clock::now();
  for (int n = 0; Clock::now() - start < run_time; ++n) {
    const auto engine = static_cast<std::size_t>(n % engines);
    const int first_bar = (n / engines) * templates[engine].bars();
    if (first_bar + templates[engine].bars() > datetimes.bars()) {
      break;
    }
    db.store(posts[engine], datetimes, first_bar);
    rows += templates[engine].rows_per_post();
  }
  return static_cast<double>(rows) / std::chrono::duration<double>(Clock::now() - start).count();
}

// The n-th POST body of each engine, its dates continuing where its previous POST ended.
std::function<std::string(int, long)> continuing_bodies(
    const std::vector<PostTemplate>& templates) {
  auto next_post = std::make_shared<std::vector<std::atomic<long>>>(templates.size());
  return [&templates, next_post](int engine, long) {
    const auto index = static_cast<std::size_t>(engine);
    const long n = (*next_post)[index]++;
    return templates[index].body(static_cast<int>(n) * templates[index].bars());
  };
}

struct ServerFigures {
  double rows_per_second = 0;
  long posts = 0;
  long failures = 0;
  double cpu_share = 0;  // of one core
  double peak_mib = 0;
  double writer_starved = 0;  // share of the writer's time under load spent waiting for work
  double mean_group = 0;      // POSTs per grouped transaction
};

// What the database writer says of itself when the server stops.
void read_writer_line(const std::string& log, ServerFigures& figures) {
  std::smatch match;
  static const std::regex line(
      R"((\d+) grouped writes in (\d+) groups; waited for work ([\d.]+)%)");
  if (!std::regex_search(log, match, line)) {
    throw std::runtime_error("the server did not log its writer's figures");
  }
  const double groups = std::stod(match[2].str());
  figures.mean_group = groups > 0 ? std::stod(match[1].str()) / groups : 0;
  figures.writer_starved = std::stod(match[3].str()) / 100;
}

// `connections` engines posting at once; `body(connection, n)` is the n-th POST body of one.
ServerFigures server_ingestion(const std::string& data_dir, int connections, long rows_per_post,
                               const std::function<std::string(int, long)>& body) {
  test::ServerProcess server(data_dir);
  const double cpu_before = bench::cpu_seconds(server.pid());
  const auto result = bench::run_load(connections, run_time, [&](int connection) {
    auto client = std::make_shared<test::HttpClient>("127.0.0.1", server.port());
    return std::function<bool(long)>([client, &body, connection](long n) {
      return client
                 ->request("POST", "/api/feedgroup", body(connection, n),
                           "application/x-www-form-urlencoded")
                 .status == 200;
    });
  });
  ServerFigures figures;
  figures.cpu_share = (bench::cpu_seconds(server.pid()) - cpu_before) / result.seconds;
  figures.rows_per_second = result.rate() * static_cast<double>(rows_per_post);
  figures.posts = result.requests;
  figures.failures = result.failures;
  figures.peak_mib = bench::memory_mib(server.pid(), "VmHWM:");
  server.stop();
  read_writer_line(server.log_text(), figures);
  return figures;
}

void print_server(int connections, const ServerFigures& figures, double raw) {
  std::printf(
      "  server, %d connection%s: %.0f rows/s (%ld POSTs, %ld failed), %.2f of raw; server "
      "CPU %.0f%% of one core, peak %.1f MiB; writer waited for work %.1f%% of the time, "
      "%.2f POSTs per commit\n",
      connections, connections == 1 ? "" : "s", figures.rows_per_second, figures.posts,
      figures.failures, figures.rows_per_second / raw, 100.0 * figures.cpu_share, figures.peak_mib,
      100.0 * figures.writer_starved, figures.mean_group);
}

// The size of the server's feed parsing pool, as its start-up log line says.
std::string pool_size(const std::string& log) {
  std::smatch match;
  static const std::regex line(R"(worker pool of (\d+) thread)");
  return std::regex_search(log, match, line) ? match[1].str() : std::string("none");
}

void time_ordered_figures(const test::TempDir& dir, const SchemaFile& schema, double* peak) {
  for (int connections : {1, 4}) {
    const auto templates = engine_templates(position_post, connections);
    if (connections == 1) {
      std::printf(
          "time-ordered position rows: %ld per POST (%d bars of %d instruments), body "
          "about %zu KB\n",
          templates[0].rows_per_post(), templates[0].bars(), instruments_per_bar,
          templates[0].body_size() / 1024);
    }
    const auto name = std::to_string(connections);
    const double raw =
        raw_time_ordered(schema.fresh_copy(dir.file("raw-ordered-" + name + ".db")), templates);
    std::printf("  raw SQLite, %d backtest%s round robin: %.0f rows/s\n", connections,
                connections == 1 ? "" : "s", raw);
    const auto figures =
        server_ingestion(dir.file("server-ordered-" + name), connections,
                         templates[0].rows_per_post(), continuing_bodies(templates));
    print_server(connections, figures, raw);
    *peak = std::max(*peak, figures.peak_mib);
  }
}

void scattered_figures(const test::TempDir& dir, const SchemaFile& schema, double* peak) {
  // Eight prepared POSTs whose rows cycle through 336 dates: each lands all over the index.
  constexpr int rows_per_post = 500;
  std::vector<std::pair<std::string, boost::json::array>> batches;
  std::vector<std::string> bodies;
  for (int b = 0; b < 8; ++b) {
    batches.emplace_back("position_feeds",
                         bench::position_rows(3, 7 + b, b * rows_per_post, rows_per_post));
    bodies.push_back(
        test::form_encode({{"position_feeds", boost::json::serialize(batches.back().second)}}));
  }
  std::printf("scattered index inserts: the same kind of POST, dates cycling over 336 days\n");
  double raw = 0;
  {
    RawDatabase db(schema.fresh_copy(dir.file("raw-scattered.db")), server_pragmas);
    std::vector<FlatPost> posts;
    for (const auto& batch : batches) {
      posts.emplace_back(Post{batch});
      db.prepare(posts.back());
    }
    const Datetimes no_slots(0);
    long rows = 0;
    const auto start = Clock::now();
    for (std::size_t b = 0; Clock::now() - start < run_time; ++b) {
      db.store(posts[b % posts.size()], no_slots, 0);
      rows += rows_per_post;
    }
    raw = static_cast<double>(rows) / std::chrono::duration<double>(Clock::now() - start).count();
  }
  std::printf("  raw SQLite: %.0f rows/s\n", raw);
  for (int connections : {1, 4}) {
    const auto figures =
        server_ingestion(dir.file("server-scattered-" + std::to_string(connections)), connections,
                         rows_per_post, [&](int connection, long n) {
                           return bodies[static_cast<std::size_t>(connection + n) % bodies.size()];
                         });
    print_server(connections, figures, raw);
    *peak = std::max(*peak, figures.peak_mib);
  }
}

void mixed_figures(const test::TempDir& dir, const SchemaFile& schema, double* peak) {
  constexpr int connections = 4;
  const auto templates = engine_templates(bar_end_post, connections);
  std::printf("bar-end POSTs: %ld rows of four kinds per POST, body about %zu KB\n",
              templates[0].rows_per_post(), templates[0].body_size() / 1024);
  const double raw = raw_time_ordered(schema.fresh_copy(dir.file("raw-mixed.db")), templates);
  std::printf("  raw SQLite, %d backtests round robin: %.0f rows/s\n", connections, raw);
  const auto figures = server_ingestion(dir.file("server-mixed"), connections,
                                        templates[0].rows_per_post(), continuing_bodies(templates));
  print_server(connections, figures, raw);
  *peak = std::max(*peak, figures.peak_mib);
}

struct Probe {
  std::vector<double> latencies_ms;
  double seconds = 0;
};

// Reads the first page of backtest 99 every 10 ms until `stop` is set.
Probe probe_pages(unsigned short port, const std::atomic<bool>& stop) {
  test::HttpClient client("127.0.0.1", port);
  Probe probe;
  const auto start = Clock::now();
  auto next = start;
  while (!stop) {
    std::this_thread::sleep_until(next);
    next += std::chrono::milliseconds(10);
    const auto before = Clock::now();
    if (client.get("/api/algorithms/3/backtests/99/feeds/position?limit=10").status != 200) {
      throw std::runtime_error("a probe read failed");
    }
    probe.latencies_ms.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - before).count());
  }
  probe.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return probe;
}

void print_probe(const char* what, const Probe& probe) {
  const auto& samples = probe.latencies_ms;
  std::printf("  %s: %zu reads in %.2f s, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", what,
              samples.size(), probe.seconds, bench::percentile(samples, 0.5),
              bench::percentile(samples, 0.99),
              samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end()));
}

void large_post_figures(const test::TempDir& dir) {
  constexpr int large_rows = 200000;
  std::string json = "[";
  for (int n = 0; n < large_rows; ++n) {
    auto row = bench::position_row(3, 8, n % instruments_per_bar);
    row[2] = (calendar_date(n / instruments_per_bar) + " 15:00:00").c_str();
    json += (n == 0 ? "" : ",") + boost::json::serialize(row);
  }
  json += "]";
  const std::string body = test::form_encode({{"position_feeds", json}});
  std::printf(
      "page reads of another backtest every 10 ms while one POST of %d position rows "
      "(%.1f MB) is stored\n",
      large_rows, static_cast<double>(body.size()) / 1e6);

  test::ServerProcess server(dir.file("server-probe"));
  {
    test::HttpClient loader("127.0.0.1", server.port());
    const auto rows = test::form_encode(
        {{"position_feeds", boost::json::serialize(bench::position_rows(3, 99, 0, 1000))}});
    if (loader.request("POST", "/api/feedgroup", rows, "application/x-www-form-urlencoded")
            .status != 200) {
      throw std::runtime_error("loading the probed backtest failed");
    }
  }
  std::atomic<bool> stop{false};
  Probe during;
  std::thread reader([&] { during = probe_pages(server.port(), stop); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  test::HttpClient poster("127.0.0.1", server.port());
  const auto before = Clock::now();
  const int status =
      poster.request("POST", "/api/feedgroup", body, "application/x-www-form-urlencoded").status;
  const auto stored = Clock::now() - before;
  stop = true;
  reader.join();
  std::printf("  the POST: status %d after %.2f s\n", status,
              std::chrono::duration<double>(stored).count());
  print_probe("with the large POST", during);

  stop = false;
  Probe quiet;
  std::thread idle_reader([&] { quiet = probe_pages(server.port(), stop); });
  std::this_thread::sleep_for(stored + std::chrono::milliseconds(100));
  stop = true;
  idle_reader.join();
  print_probe("without it", quiet);
  std::printf("  server memory after the large POST: %.1f MiB peak\n",
              bench::memory_mib(server.pid(), "VmHWM:"));
}

}  // namespace

int main() {
  test::TempDir dir;
  const SchemaFile schema(dir);
  double idle_mib = 0;
  {
    test::ServerProcess idle(dir.file("server-idle"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    idle_mib = bench::memory_mib(idle.pid(), "VmRSS:");
    std::printf("server: feed parsing pool of %s threads, %.1f MiB resident when idle\n",
                pool_size(idle.log_text()).c_str(), idle_mib);
  }
  double peak_mib = 0;
  time_ordered_figures(dir, schema, &peak_mib);
  scattered_figures(dir, schema, &peak_mib);
  mixed_figures(dir, schema, &peak_mib);
  std::printf("server memory: %.1f MiB idle, %.1f MiB peak during ingestion\n", idle_mib, peak_mib);
  large_post_figures(dir);
  return 0;
}
