#pragma once

// The command line of corvane-bridge-sim.
#include <optional>
#include <string>
#include <vector>

#include "server.hpp"

namespace bridge_sim {

struct CommandLine {
  ServerOptions server;
  bool help = false;
  bool version = false;
};

/// Parses the arguments after the program name; throws std::invalid_argument with a message for the user.
CommandLine parseCommandLine(const std::vector<std::string>& args);

std::string usage();
/// "corvane-bridge-sim <version>" and a newline.
std::string version();

}  // namespace bridge_sim
