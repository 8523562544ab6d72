#include "options.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace bridge_sim {
namespace {

template <typename T>
T integer(const std::string& option, const std::string& text, T low, T high) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < static_cast<long long>(low) ||
      value > static_cast<long long>(high)) {
    throw std::invalid_argument(option + " needs a whole number from " + std::to_string(low) + " to " +
                                std::to_string(high));
  }
  return static_cast<T>(value);
}

double rate(const std::string& option, const std::string& text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !(value > 0) || value > 10000) {
    throw std::invalid_argument(option + " needs a rate above 0 and at most 10000 (per second)");
  }
  return value;
}

}  // namespace

std::string usage() {
  return "usage: corvane-bridge-sim [--host ADDRESS] [--port PORT] [--log] [--threads N] [--render-threads N]\n"
         "                          [--max-body BYTES] [--step-rate HZ] [--stream-rate HZ]\n"
         "A simulated bridge: serves the REST routes and WebSocket streams on ADDRESS:PORT (default\n"
         "127.0.0.1, port 0 = any free port) and prints \"<http base URL> <websocket base URL>\" as its\n"
         "first line. Stops on SIGINT or SIGTERM. --log prints one line per request on stderr.\n";
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument(option + " needs a value");
      return args[++i];
    };
    if (option == "--help" || option == "-h")
      line.help = true;
    else if (option == "--log")
      line.server.log = true;
    else if (option == "--host")
      line.server.host = value();
    else if (option == "--port")
      line.server.port = integer<std::uint16_t>(option, value(), 0, 65535);
    else if (option == "--threads")
      line.server.ioThreads = integer<unsigned>(option, value(), 1, 64);
    else if (option == "--render-threads")
      line.server.renderThreads = integer<unsigned>(option, value(), 1, 64);
    else if (option == "--max-body")
      line.server.maxBodyBytes = integer<std::size_t>(option, value(), 1, 1u << 30);
    else if (option == "--step-rate")
      line.server.stepRate = rate(option, value());
    else if (option == "--stream-rate")
      line.server.streamRate = rate(option, value());
    else
      throw std::invalid_argument("unknown option " + option);
  }
  return line;
}

}  // namespace bridge_sim
