#include "subprocess.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "side_by_side.hpp"

extern char** environ;

namespace corvane::bench {

LineChild::LineChild(const std::vector<std::string>& argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a child that died must show up as a failed write, not kill us
  int in[2];
  int out[2];
  check(::pipe(in) == 0 && ::pipe(out) == 0, "pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  for (const int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int spawned = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  toChild_ = in[1];
  fromChild_ = out[0];
  if (spawned != 0) {  // reads as a child that ended at once
    pid_ = -1;
    ::close(toChild_);
    ::close(fromChild_);
  }
}

LineChild::~LineChild() { finish(); }

std::optional<std::string> LineChild::ask(const std::string& line) {
  if (pid_ < 0) return std::nullopt;
  const std::string message = line + "\n";
  if (::write(toChild_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) return std::nullopt;
  return readLine();
}

std::optional<std::string> LineChild::readLine() {
  if (pid_ < 0) return std::nullopt;
  for (;;) {
    const auto newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string reply = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return reply;
    }
    char chunk[512];
    const ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

int LineChild::finish() {
  if (pid_ < 0) return -1;
  ::close(toChild_);
  ::close(fromChild_);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace corvane::bench
