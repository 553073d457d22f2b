#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "http/router.hpp"

// The API described: the OpenAPI document of every route and a browsable page of it.
namespace stratdesk::apidoc {

// The base URI the kept document's paths are written with; served documents carry the
// server's own instead.
inline constexpr std::string_view document_base_uri = "/api";

// The files of the docs page's viewer that the page loads, each served read-only at
// base_uri + "/docs/" + name from the docs folder.
inline constexpr std::array<std::string_view, 5> docs_files = {
    "swagger-ui.css", "index.css", "swagger-ui-bundle.js", "favicon-32x32.png",
    "favicon-16x16.png"};

// The OpenAPI document with its paths under `base_uri` (the plain concatenation, as routes are
// mounted). Throws std::logic_error when the kept document has a path outside
// document_base_uri.
std::string document_for(std::string_view base_uri);

// The document, the page and its files: what a browser loads by address, served without the
// access token (they hold nothing of the user's; the calls the page makes still need it).
std::vector<std::string> public_paths(const std::string& base_uri);

// Mounts GET base_uri + "/openapi.json", base_uri + "/docs" and the page's files, read from
// `docs_dir` at each request (a missing file is answered 404).
void register_api(http::Api& api, const std::string& base_uri, const std::string& docs_dir);

}  // namespace stratdesk::apidoc
