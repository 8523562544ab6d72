#pragma once

// A child process driven line by line over its standard input and output (the Python comparisons run
// as long-lived children so that their loops can take turns with ours without paying start-up time).
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace corvane::bench {

class LineChild {
 public:
  /// Starts `argv[0]` (looked up in PATH) with its stdin and stdout connected to this object. A program
  /// that cannot be started behaves as a child that ended at once.
  explicit LineChild(const std::vector<std::string>& argv);
  ~LineChild();  ///< closes its stdin and waits for it
  LineChild(const LineChild&) = delete;
  LineChild& operator=(const LineChild&) = delete;

  /// Writes `line` and a newline, then reads one line of reply; nothing when the child ended instead.
  std::optional<std::string> ask(const std::string& line);
  /// Reads the next line the child writes; nothing when it ended instead.
  std::optional<std::string> readLine();
  /// Closes the child's stdin and returns its exit status (the code, or 128 + signal).
  int finish();

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffered_;
};

}  // namespace corvane::bench
