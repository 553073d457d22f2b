#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/request.hpp"
#include "http/response.hpp"
#include "http/stream_tickets.hpp"

namespace stratdesk::http {

struct AccessOptions {
  // Names accepted in the Host header besides localhost, 127.0.0.1, [::1] and the listen address.
  std::vector<std::string> allowed_hosts;
  // Origins (scheme://host[:port]) whose pages may call the server, besides its own.
  std::vector<std::string> allowed_origins;
  // When set, every request must carry "Authorization: Bearer <token>", except GET and HEAD of
  // `public_paths` (pages a browser loads by address, which hold nothing of the user's) and GET
  // and HEAD of `ticket_path` with a `ticket` query parameter `tickets` redeems.
  std::optional<std::string> token;
  std::vector<std::string> public_paths;
  std::string ticket_path;
  std::shared_ptr<StreamTickets> tickets;
};

// Keeps web pages out. The server listens on the loopback interface and runs the code it is
// sent, so a page in the user's browser must reach it neither by posting a form (its Origin is
// refused) nor through DNS rebinding (its Host is refused). Clients that send no Origin, such as
// engines and curl, are served as before; an optional token shuts out everything else local.
class AccessPolicy {
 public:
  AccessPolicy(AccessOptions options, const std::string& listen_address, unsigned short port);

  // The answer for a request that must not be served (403, or 401 without the token);
  // nullopt when it may go on. Needs only the header, so a refused body is never read.
  [[nodiscard]] std::optional<Response> refusal(const RequestMessage& header) const;

  // A CORS preflight: OPTIONS with an Origin and Access-Control-Request-Method.
  [[nodiscard]] static bool is_preflight(const RequestMessage& header);
  // The answer to an allowed preflight, for a path that serves `allowed_methods`.
  [[nodiscard]] Response preflight(const RequestMessage& header,
                                   const std::string& allowed_methods) const;

  // Adds the CORS headers an allowed cross-origin request needs to read its answer.
  void add_cors_headers(const RequestMessage& header, Response& response) const;

 private:
  [[nodiscard]] bool host_allowed(std::string_view host) const;
  [[nodiscard]] bool origin_allowed(std::string_view origin) const;
  [[nodiscard]] bool token_matches(std::string_view authorization) const;
  [[nodiscard]] bool admitted_without_token(const RequestMessage& request) const;

  std::vector<std::string> hosts_;    // lower-case names, IPv6 literals in brackets
  std::vector<std::string> origins_;  // lower-case, without a trailing slash
  std::optional<std::string> token_;
  std::vector<std::string> public_paths_;
  std::string ticket_path_;
  std::shared_ptr<StreamTickets> tickets_;
  std::string port_;
};

}  // namespace stratdesk::http
