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
  // Laid out for help2man, which makes the manual page from it.
  return "Usage: corvane-bridge-sim [OPTION]...\n"
         "A simulated bridge for trying and testing corvane clients without the simulator: it serves the REST\n"
         "routes and WebSocket streams of a small in-memory scene and prints \"<http base URL> <websocket base\n"
         "URL>\" as its first line on stdout. It stops on SIGINT or SIGTERM; the scene is lost at exit.\n"
         "\n"
         "Options:\n"
         "  --host ADDRESS        address to listen on (default 127.0.0.1)\n"
         "  --port PORT           port to listen on; 0 (the default) picks a free one\n"
         "  --log                 print one line per request on stderr\n"
         "  --threads N           connection threads, 1 to 64 (default: 2, more on larger machines)\n"
         "  --render-threads N    camera rendering threads, 1 to 64 (default: one per core)\n"
         "  --max-body BYTES      largest request body accepted (default 1048576)\n"
         "  --step-rate HZ        scene steps per second (default 120)\n"
         "  --stream-rate HZ      stream samples per second (default 60)\n"
         "  --textured            cameras render textured surfaces, a moving light and sensor noise, as a real\n"
         "                        camera sees (default: flat shading)\n"
         "  -h, --help            print this help and exit\n"
         "  --version             print the version and exit\n";
}

std::string version() { return std::string("corvane-bridge-sim ") + CORVANE_BRIDGE_SIM_VERSION + "\n"; }

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
    else if (option == "--version")
      line.version = true;
    else if (option == "--log")
      line.server.log = true;
    else if (option == "--textured")
      line.server.textured = true;
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
