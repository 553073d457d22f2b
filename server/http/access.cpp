#include "http/access.hpp"

#include <algorithm>

#include "common/text.hpp"

namespace stratdesk::http {
namespace {

std::string bracketed(const std::string& address) {
  return address.find(':') != std::string::npos && !address.starts_with('[') ? "[" + address + "]"
                                                                             : address;
}

std::string normalized_origin(std::string_view origin) {
  std::string out = common::ascii_lowercase(origin);
  while (out.ends_with('/')) {
    out.pop_back();
  }
  return out;
}

// Splits "name:port", "[v6]:port" or a bare name; the port is empty when absent.
std::pair<std::string_view, std::string_view> split_host(std::string_view host) {
  if (host.starts_with('[')) {
    const auto close = host.find(']');
    if (close == std::string_view::npos) {
      return {host, {}};
    }
    const std::string_view rest = host.substr(close + 1);
    return {host.substr(0, close + 1), rest.starts_with(':') ? rest.substr(1) : rest};
  }
  const auto colon = host.rfind(':');
  if (colon == std::string_view::npos) {
    return {host, {}};
  }
  return {host.substr(0, colon), host.substr(colon + 1)};
}

// Compares without an early exit, so the time taken tells nothing about the token.
bool equal_in_constant_time(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return difference == 0;
}

}  // namespace

AccessPolicy::AccessPolicy(AccessOptions options, const std::string& listen_address,
                           unsigned short port)
    : token_(std::move(options.token)),
      public_paths_(std::move(options.public_paths)),
      ticket_path_(std::move(options.ticket_path)),
      tickets_(std::move(options.tickets)),
      port_(std::to_string(port)) {
  hosts_ = {"localhost", "127.0.0.1", "[::1]", common::ascii_lowercase(bracketed(listen_address))};
  for (const auto& host : options.allowed_hosts) {
    hosts_.push_back(common::ascii_lowercase(bracketed(host)));
  }
  for (const auto& host : hosts_) {
    if (host != "0.0.0.0" && host != "[::]") {
      origins_.push_back("http://" + host + ":" + port_);
    }
  }
  for (const auto& origin : options.allowed_origins) {
    origins_.push_back(normalized_origin(origin));
  }
}

bool AccessPolicy::host_allowed(std::string_view host) const {
  const auto [name, port] = split_host(host);
  if (!port.empty() && port != port_) {
    return false;
  }
  return std::find(hosts_.begin(), hosts_.end(), common::ascii_lowercase(name)) != hosts_.end();
}

bool AccessPolicy::origin_allowed(std::string_view origin) const {
  return std::find(origins_.begin(), origins_.end(), normalized_origin(origin)) != origins_.end();
}

bool AccessPolicy::token_matches(std::string_view authorization) const {
  constexpr std::string_view scheme = "bearer ";
  if (authorization.size() < scheme.size() ||
      common::ascii_lowercase(authorization.substr(0, scheme.size())) != scheme) {
    return false;
  }
  std::string_view presented = authorization.substr(scheme.size());
  while (!presented.empty() && presented.front() == ' ') {
    presented.remove_prefix(1);
  }
  return equal_in_constant_time(presented, *token_);
}

namespace {

std::string_view field(const RequestMessage& header, std::string_view name) {
  const auto found = header.find(name);
  return found == header.end() ? std::string_view{} : std::string_view(found->value());
}

// The value of `name` in a query string "a=1&b=2"; empty when absent.
std::string_view query_value(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=') {
      return pair.substr(name.size() + 1);
    }
  }
  return {};
}

}  // namespace

bool AccessPolicy::admitted_without_token(const RequestMessage& request) const {
  using boost::beast::http::verb;
  if (request.method() != verb::get && request.method() != verb::head) {
    return false;
  }
  const std::string_view target = request.target();
  const auto question = target.find('?');
  const std::string_view path = target.substr(0, question);
  if (std::find(public_paths_.begin(), public_paths_.end(), path) != public_paths_.end()) {
    return true;
  }
  if (!tickets_ || path != ticket_path_ || question == std::string_view::npos) {
    return false;
  }
  const std::string_view ticket = query_value(target.substr(question + 1), "ticket");
  return !ticket.empty() && tickets_->redeem(ticket);
}

std::optional<Response> AccessPolicy::refusal(const RequestMessage& request) const {
  const std::string_view host = field(request, "Host");
  if (!host.empty() && !host_allowed(host)) {
    return Response::message(403,
                             "requests for host '" + std::string(host) + "' are not served here");
  }
  const std::string_view origin = field(request, "Origin");
  if (!origin.empty() && !origin_allowed(origin)) {
    return Response::message(403, "requests from origin '" + std::string(origin) +
                                      "' are not allowed; start the server with --allow-origin "
                                      "to admit it");
  }
  // Browsers never send credentials with a preflight; the request it announces carries them.
  if (token_ && !is_preflight(request) && !token_matches(field(request, "Authorization")) &&
      !admitted_without_token(request)) {
    Response response = Response::message(401, "missing or wrong access token");
    response.headers.emplace_back("WWW-Authenticate", "Bearer");
    return response;
  }
  return std::nullopt;
}

bool AccessPolicy::is_preflight(const RequestMessage& request) {
  return request.method() == boost::beast::http::verb::options &&
         !field(request, "Origin").empty() &&
         !field(request, "Access-Control-Request-Method").empty();
}

Response AccessPolicy::preflight(const RequestMessage& request,
                                 const std::string& allowed_methods) const {
  Response response = Response::json(nullptr);
  response.headers.emplace_back("Access-Control-Allow-Methods", allowed_methods);
  const std::string_view asked = field(request, "Access-Control-Request-Headers");
  response.headers.emplace_back("Access-Control-Allow-Headers",
                                asked.empty() ? "Content-Type, Authorization" : std::string(asked));
  response.headers.emplace_back("Access-Control-Max-Age", "600");
  return response;
}

void AccessPolicy::add_cors_headers(const RequestMessage& request, Response& response) const {
  const std::string_view origin = field(request, "Origin");
  if (!origin.empty() && origin_allowed(origin)) {
    response.headers.emplace_back("Access-Control-Allow-Origin", std::string(origin));
    response.headers.emplace_back("Vary", "Origin");
  }
}

}  // namespace stratdesk::http
