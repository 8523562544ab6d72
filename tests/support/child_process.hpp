#pragma once

// A child program for tests: started with posix_spawn, its stdout read line by line and its stderr
// collected, stopped by signal or waited for; killed if the test ends first.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace corvane::testing {

class Program {
 public:
  /// Starts args[0] with the arguments that follow; stdout and stderr are piped back.
  explicit Program(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) throw std::runtime_error("spawn");
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = fdopen(out[0], "r");
    err_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_) fclose(out_);
    close(err_);
  }
  std::string line() {
    char buffer[512];
    return fgets(buffer, sizeof buffer, out_) ? std::string(buffer) : std::string();
  }
  /// Everything the program writes to stdout from here until it closes it.
  std::string output() {
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, out_)) > 0;) text.append(buffer, n);
    return text;
  }
  /// Signals the program and returns its exit status (or -signal).
  int stop(int sig) {
    kill(pid_, sig);
    return wait();
  }
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  std::string errors() {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(err_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

 private:
  pid_t pid_ = 0;
  FILE* out_ = nullptr;
  int err_ = -1;
};

}  // namespace corvane::testing
