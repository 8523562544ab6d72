// corvane-bridge-sim: a simulated bridge for trying and testing corvane without the simulator.
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "options.hpp"
#include "server.hpp"

int main(int argc, char** argv) {
  bridge_sim::CommandLine line;
  try {
    line = bridge_sim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "corvane-bridge-sim: " << e.what() << "\n" << bridge_sim::usage();
    return 2;
  }
  if (line.help) {
    std::cout << bridge_sim::usage();
    return 0;
  }
  if (line.version) {
    std::cout << bridge_sim::version();
    return 0;
  }
  // Capture frames are megabytes each: keep freed ones in the heap for the next capture instead of
  // returning them to the kernel and faulting fresh pages in every time (a 1080p capture costs twice
  // as much otherwise).
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  // Installed before the URL is printed, so a script may signal as soon as it has read it.
  boost::asio::io_context signals;
  boost::asio::signal_set stopSignals(signals, SIGINT, SIGTERM);
  int received = 0;
  stopSignals.async_wait([&](const boost::system::error_code&, int number) { received = number; });
  try {
    bridge_sim::Server server(line.server);
    server.start();
    std::printf("%s %s\n", server.httpUrl().c_str(), server.wsUrl().c_str());
    std::fflush(stdout);
    signals.run();
    server.stop();
  } catch (const std::exception& e) {
    std::cerr << "corvane-bridge-sim: " << e.what() << "\n";
    return 1;
  }
  // Ctrl-C at a terminal is acknowledged; SIGTERM (a supervisor, a test harness) stops it quietly.
  if (received == SIGINT) std::cerr << "corvane-bridge-sim: stopped\n";
  return 0;
}
