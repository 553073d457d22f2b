#include <utility>

#include "backtest/backtest.hpp"
#include "http/arguments.hpp"

namespace stratdesk::backtest {

Arguments parse_arguments(http::Request& request, std::initializer_list<std::string_view> names) {
  Arguments args;
  for (std::string_view name : names) {
    if (auto text = http::argument_text(request, name)) {
      args[name] = *text;
    } else {
      args[name] = nullptr;
    }
  }
  return args;
}

boost::json::value get(const Arguments& args, std::string_view key,
                       const boost::json::value& default_value) {
  const boost::json::value* value = args.if_contains(key);
  return value == nullptr || value->is_null() ? default_value : *value;
}

}  // namespace stratdesk::backtest
