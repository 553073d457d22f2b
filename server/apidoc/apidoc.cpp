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

std::optional<std::string> read_docs_file(std::string_view name) {
  const auto path = file_within(settings().docs_dir, name);
  if (!path) {
    return std::nullopt;
  }
  std::ifstream in(*path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in) {
    return std::nullopt;
  }
  return std::move(bytes).str();
}

Response not_installed(std::string_view name) {
  return Response::message(404, "the docs page's file " + std::string(name) + " is not in " +
                                    settings().docs_dir + "; run scripts/install-deps.sh");
}

class OpenApiDocument {
 public:
  asio::awaitable<Response> get(Request&) { co_return Response::json_text(settings().document); }
};

class DocsPage {
 public:
  asio::awaitable<Response> get(Request&) {
    // Without the viewer the page would stay blank; say what is missing instead.
    if (!file_within(settings().docs_dir, "swagger-ui-bundle.js")) {
      co_return not_installed("swagger-ui-bundle.js");
    }
    co_return raw_answer(std::string(docs_page), "text/html; charset=utf-8");
  }
};

template <std::size_t Index>
class DocsFile {
 public:
  asio::awaitable<Response> get(Request&) {
    constexpr std::string_view name = docs_files[Index];
    auto bytes = read_docs_file(name);
    if (!bytes) {
      co_return not_installed(name);
    }
    co_return raw_answer(std::move(*bytes), content_type_of(name));
  }
};

template <std::size_t... Index>
void add_docs_files(http::Api& api, const std::string& base_uri, std::index_sequence<Index...>) {
  (api.add<DocsFile<Index>>(base_uri + "/docs/" + std::string(docs_files[Index])), ...);
}

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

void register_api(http::Api& api, const std::string& base_uri, const std::string& docs_dir) {
  settings() = Settings{document_for(base_uri), docs_dir};
  api.add<OpenApiDocument>(base_uri + "/openapi.json");
  api.add<DocsPage>(base_uri + "/docs");
  add_docs_files(api, base_uri, std::make_index_sequence<docs_files.size()>{});
}

}  // namespace stratdesk::apidoc
