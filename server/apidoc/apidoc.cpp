#include "apidoc/apidoc.hpp"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "embedded_files.hpp"

namespace stratdesk::apidoc {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using http::Request;
using http::Response;
namespace asio = boost::asio;

// Resources are built by the router without arguments; what they serve is set at mounting.
struct Settings {
  std::string document;
  std::string document_tag;
  std::string docs_dir;
};

Settings& settings() {
  static Settings instance;
  return instance;
}

// Relative links: the page lives at base_uri + "/docs", so "docs/..." and "openapi.json"
// resolve under base_uri whatever it is, and nothing leaves this server.
constexpr std::string_view docs_page = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>stratdesk API</title>
<link rel="stylesheet" href="docs/swagger-ui.css">
<link rel="stylesheet" href="docs/index.css">
<link rel="icon" type="image/png" href="docs/favicon-32x32.png" sizes="32x32">
<link rel="icon" type="image/png" href="docs/favicon-16x16.png" sizes="16x16">
</head>
<body>
<div id="swagger-ui"></div>
<script src="docs/swagger-ui-bundle.js"></script>
<script>
window.ui = SwaggerUIBundle({url: "openapi.json", dom_id: "#swagger-ui", deepLinking: true,
                             validatorUrl: null, tryItOutEnabled: false});
</script>
</body>
</html>
)";

std::string_view content_type_of(std::string_view name) {
  if (name.ends_with(".css")) {
    return "text/css; charset=utf-8";
  }
  if (name.ends_with(".js")) {
    return "text/javascript; charset=utf-8";
  }
  if (name.ends_with(".png")) {
    return "image/png";
  }
  if (name.ends_with(".html")) {
    return "text/html; charset=utf-8";
  }
  return "application/octet-stream";
}

Response raw_answer(std::string bytes, std::string_view content_type) {
  Response response = Response::json_text(std::move(bytes));
  response.headers.emplace_back("Content-Type", std::string(content_type));
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  return response;
}

// An entity tag of text held in memory for the server's life.
std::string tag_of_text(std::string_view text) {
  std::ostringstream tag;
  tag << '"' << std::hex << std::hash<std::string_view>{}(text) << '-' << text.size() << '"';
  return tag.str();
}

// An entity tag of a file: its size and modification time, so that it changes when an upgrade
// replaces the file and costs no reading.
std::optional<std::string> tag_of_file(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  const auto modified = ec ? fs::file_time_type{} : fs::last_write_time(path, ec);
  if (ec) {
    return std::nullopt;
  }
  std::ostringstream tag;
  tag << '"' << std::hex << modified.time_since_epoch().count() << '-' << size << '"';
  return tag.str();
}

// True when If-None-Match names `tag` (weak comparison, as for GET) or is "*".
bool client_has(const Request& request, std::string_view tag) {
  const auto& header = request.message();
  const auto found = header.find("If-None-Match");
  if (found == header.end()) {
    return false;
  }
  std::string_view list = found->value();
  while (!list.empty()) {
    const auto comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
      item.remove_prefix(1);
    }
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) {
      item.remove_suffix(1);
    }
    if (item.starts_with("W/")) {
      item.remove_prefix(2);
    }
    if (item == "*" || item == tag) {
      return true;
    }
  }
  return false;
}

// Browsers revalidate every time, so an upgrade is seen at once, and an unchanged file costs
// a 304 without a body.
Response with_validator(Response response, const std::string& tag) {
  response.headers.emplace_back("ETag", tag);
  response.headers.emplace_back("Cache-Control", "no-cache");
  return response;
}

Response not_modified(const std::string& tag) {
  return with_validator(Response::json_text("", 304), tag);
}

// The file `name` of `directory`, provided it is a plain name of a regular file that lies
// inside the directory once links are followed.
std::optional<fs::path> file_within(const fs::path& directory, std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of("/\\") != std::string_view::npos) {
    return std::nullopt;
  }
  std::error_code ec;
  const fs::path root = fs::canonical(directory, ec);
  if (ec) {
    return std::nullopt;
  }
  const fs::path file = fs::canonical(root / name, ec);
  if (ec || !fs::is_regular_file(file, ec) || file.parent_path() != root) {
    return std::nullopt;
  }
  return file;
}

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in) {
    return std::nullopt;
  }
  return std::move(bytes).str();
}

Response not_installed(std::string_view name) {
  return Response::message(common::ErrorKind::not_found,
                           "the docs page's file " + std::string(name) + " is not in " +
                               settings().docs_dir + "; run scripts/install-deps.sh");
}

class OpenApiDocument {
 public:
  asio::awaitable<Response> get(Request& request) {
    const std::string& tag = settings().document_tag;
    if (client_has(request, tag)) {
      co_return not_modified(tag);
    }
    co_return with_validator(Response::json_text(settings().document), tag);
  }
};

class DocsPage {
 public:
  asio::awaitable<Response> get(Request& request) {
    // Without the viewer the page would stay blank; say what is missing instead.
    if (!file_within(settings().docs_dir, "swagger-ui-bundle.js")) {
      co_return not_installed("swagger-ui-bundle.js");
    }
    static const std::string tag = tag_of_text(docs_page);
    if (client_has(request, tag)) {
      co_return not_modified(tag);
    }
    co_return with_validator(raw_answer(std::string(docs_page), "text/html; charset=utf-8"), tag);
  }
};

// One of the viewer's files, read from the docs folder at each request.
class DocsFile {
 public:
  explicit DocsFile(std::string_view name) : name_(name) {}

  asio::awaitable<Response> get(Request& request) {
    const auto path = file_within(settings().docs_dir, name_);
    const auto tag = path ? tag_of_file(*path) : std::nullopt;
    if (!tag) {
      co_return not_installed(name_);
    }
    if (client_has(request, *tag)) {
      co_return not_modified(*tag);
    }
    auto bytes = read_file(*path);
    if (!bytes) {
      co_return not_installed(name_);
    }
    co_return with_validator(raw_answer(std::move(*bytes), content_type_of(name_)), *tag);
  }

 private:
  std::string_view name_;
};

}  // namespace

std::string document_for(std::string_view base_uri) {
  json::value document = json::parse(embedded_files[0].content);
  json::object& kept_paths = document.at("paths").as_object();
  json::object paths;
  for (auto& [key, item] : kept_paths) {
    if (!key.starts_with(document_base_uri)) {
      throw std::logic_error("the API document's path " + std::string(key) + " is not under " +
                             std::string(document_base_uri));
    }
    std::string path(base_uri);
    path += key.substr(document_base_uri.size());
    paths[path] = std::move(item);
  }
  document.as_object()["paths"] = std::move(paths);
  return json::serialize(document);
}

std::vector<std::string> public_paths(const std::string& base_uri) {
  std::vector<std::string> paths = {base_uri + "/openapi.json", base_uri + "/docs"};
  for (const std::string_view name : docs_files) {
    paths.push_back(base_uri + "/docs/" + std::string(name));
  }
  return paths;
}

void register_api(http::Api& api, const std::string& base_uri, const std::string& docs_dir) {
  std::string document = document_for(base_uri);
  std::string tag = tag_of_text(document);
  settings() = Settings{std::move(document), std::move(tag), docs_dir};
  api.add<OpenApiDocument>(base_uri + "/openapi.json");
  api.add<DocsPage>(base_uri + "/docs");
  for (const std::string_view name : docs_files) {
    api.add<DocsFile>(base_uri + "/docs/" + std::string(name), name);
  }
}

}  // namespace stratdesk::apidoc
