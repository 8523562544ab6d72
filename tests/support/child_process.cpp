#include "child_process.hpp"

#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace corvane::testing {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Appends what one read() brings; false at the end of the stream (or on an error).
bool readSome(int fd, std::string& into) {
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) < 0 && errno == EINTR) {
  }
  if (n <= 0) return false;
  into.append(chunk, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a child that died shows up as a failed write, not as our end
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  for (const int fd : {in[0], out[1], err[1]}) ::close(fd);
  toChild_ = in[1];
  fromChild_ = out[0];
  errorsFromChild_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
  wait();
  closeFd(fromChild_);
  closeFd(errorsFromChild_);
}

std::optional<std::string> ChildProcess::readLine() {
  for (;;) {
    const auto newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    if (!readSome(fromChild_, buffered_)) return std::nullopt;
  }
}

std::optional<std::string> ChildProcess::ask(const std::string& line) {
  const std::string message = line + "\n";
  if (::write(toChild_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) return std::nullopt;
  return readLine();
}

std::string ChildProcess::output() {
  while (readSome(fromChild_, buffered_)) {
  }
  return std::exchange(buffered_, {});
}

std::string ChildProcess::errors() {
  std::string text;
  while (readSome(errorsFromChild_, text)) {
  }
  return text;
}

int ChildProcess::stop(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
  return wait();
}

int ChildProcess::wait() {
  closeFd(toChild_);
  if (pid_ > 0) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
  }
  return status_;
}

bool acceptsConnections(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace corvane::testing
