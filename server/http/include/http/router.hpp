#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/verb.hpp>

#include "http/request.hpp"
#include "http/response.hpp"

namespace stratdesk::http {

namespace asio = boost::asio;
using verb = boost::beast::http::verb;

// A resource method bound to its object: takes the request and the route's integer path
// parameters in pattern order.
using Handler = std::function<asio::awaitable<Response>(Request&, std::span<const std::int64_t>)>;

// A route pattern such as "/api/algorithms/<int:algorithm_id>/backtests": literal segments and
// <int:name> segments that match decimal digits only (no sign, value fits in 64 bits).
class RoutePattern {
 public:
  // Throws std::invalid_argument for a converter other than int.
  explicit RoutePattern(std::string pattern);

  // The integer parameters when `path` matches, else false.
  bool match(std::string_view path, std::vector<std::int64_t>& parameters) const;
  [[nodiscard]] std::size_t parameter_count() const { return parameter_count_; }
  [[nodiscard]] const std::string& text() const { return text_; }

 private:
  struct Segment {
    std::string literal;
    bool is_int = false;
  };
  std::string text_;
  std::vector<Segment> segments_;
  std::size_t parameter_count_ = 0;
};

// The route table. Resources are classes with one member function per verb
// (get, post, put, patch, delete_), each `asio::awaitable<Response>(Request&, std::int64_t...)`.
// The router alone answers 404 (no pattern matches) and 405 (a pattern matches but its
// resource lacks the verb); HEAD is served by GET, OPTIONS lists the allowed verbs.
class Api {
 public:
  // Mounts a Resource constructed from `dependencies` (what it works with: the database, the
  // module's settings...), which must outlive the Api.
  template <class Resource, class... Dependencies>
  void add(std::string pattern, Dependencies&&... dependencies) {
    auto resource = std::make_shared<Resource>(std::forward<Dependencies>(dependencies)...);
    Route route{RoutePattern(std::move(pattern)), {}};
    if constexpr (requires { &Resource::get; }) {
      route.bind(verb::get, resource, &Resource::get);
    }
    if constexpr (requires { &Resource::post; }) {
      route.bind(verb::post, resource, &Resource::post);
    }
    if constexpr (requires { &Resource::put; }) {
      route.bind(verb::put, resource, &Resource::put);
    }
    if constexpr (requires { &Resource::patch; }) {
      route.bind(verb::patch, resource, &Resource::patch);
    }
    if constexpr (requires { &Resource::delete_; }) {
      route.bind(verb::delete_, resource, &Resource::delete_);
    }
    routes_.push_back(std::move(route));
  }

  struct Match {
    enum class Kind { found, not_found, method_not_allowed, options } kind = Kind::not_found;
    const Handler* handler = nullptr;
    std::vector<std::int64_t> parameters;
    std::string allowed;  // "GET, HEAD, OPTIONS, POST" for 405 and OPTIONS
  };
  [[nodiscard]] Match match(std::string_view path, verb method) const;

  // A mounted route: its pattern and the verbs its resource serves ("GET", "POST", ...; HEAD
  // and OPTIONS, which every route answers, aside).
  struct RouteInfo {
    std::string pattern;
    std::vector<std::string> methods;
  };
  // The routes in mounting order.
  [[nodiscard]] std::vector<RouteInfo> routes() const;

  // Routes the request and runs its handler. Errors escaping the handler become answers:
  // http::Error with its status and common::Error with its kind's status, each with its message;
  // anything else a logged 500.
  asio::awaitable<Response> dispatch(Request& request) const;

 private:
  static constexpr std::array verbs_served = {verb::get, verb::post, verb::put, verb::patch,
                                              verb::delete_};

  struct Route {
    RoutePattern pattern;
    std::array<Handler, verbs_served.size()> handlers;

    // `Class` may be a base of `Resource` when the verb is inherited.
    template <class Resource, class Class, class... Ids>
    void bind(verb method, std::shared_ptr<Resource> resource,
              asio::awaitable<Response> (Class::*function)(Request&, Ids...)) {
      static_assert(std::is_base_of_v<Class, Resource>);
      static_assert((std::is_same_v<Ids, std::int64_t> && ...), "path parameters are std::int64_t");
      if (sizeof...(Ids) != pattern.parameter_count()) {
        throw std::logic_error(
            "route " + pattern.text() + " has " + std::to_string(pattern.parameter_count()) +
            " parameters but its handler takes " + std::to_string(sizeof...(Ids)));
      }
      handlers[slot(method)] = [resource, function](Request& request,
                                                    std::span<const std::int64_t> ids) {
        return invoke(*resource, function, request, ids, std::index_sequence_for<Ids...>{});
      };
    }

    template <class Resource, class Function, std::size_t... I>
    static asio::awaitable<Response> invoke(Resource& resource, Function function, Request& request,
                                            [[maybe_unused]] std::span<const std::int64_t> ids,
                                            std::index_sequence<I...>) {
      return (resource.*function)(request, ids[I]...);
    }
  };

  static std::size_t slot(verb method);
  std::vector<Route> routes_;
};

}  // namespace stratdesk::http
