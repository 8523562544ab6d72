#pragma once

// A child program for tests and benchmarks: started with posix_spawnp, its stdin, stdout and stderr piped
// to this object; driven line by line, read to the end, signalled or waited for; killed if still running
// when this object goes.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::testing {

class ChildProcess {
 public:
  /// Starts argv[0] (looked up in PATH unless it holds a '/') with the arguments that follow. A program
  /// that cannot be started behaves as one that ended at once with status 127.
  explicit ChildProcess(std::vector<std::string> argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// The next line the child writes to stdout, without its newline; nothing once stdout has closed.
  std::optional<std::string> readLine();
  /// Writes `line` and a newline to the child's stdin, then reads one line of reply.
  std::optional<std::string> ask(const std::string& line);
  /// Everything the child writes to stdout from here until it closes it.
  std::string output();
  /// Everything the child writes to stderr until it closes it.
  std::string errors();
  /// Sends `signal`, then waits as wait() does.
  int stop(int signal);
  /// Closes the child's stdin, waits for it to end and returns its exit code (128 + signal if killed).
  int wait();

 private:
  pid_t pid_ = -1;
  int status_ = 127;
  int toChild_ = -1;
  int fromChild_ = -1;
  int errorsFromChild_ = -1;
  std::string buffered_;  ///< stdout read past the last line returned
};

/// Whether something accepts TCP connections on 127.0.0.1:`port` (a child server is up).
bool acceptsConnections(std::uint16_t port);

}  // namespace corvane::testing
