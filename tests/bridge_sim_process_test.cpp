// corvane-bridge-sim as a program: the URL line scripts read, --log, bad options, and a clean stop on
// SIGTERM and SIGINT.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "corvane/corvane.hpp"

extern char** environ;

namespace corvane {
namespace {

using namespace std::chrono_literals;

class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    args.insert(args.begin(), CORVANE_BRIDGE_SIM_PATH);
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

TEST(BridgeSimProgram, PrintsItsUrlsFirstServesLogsAndStopsOnSignals) {
  for (const int sig : {SIGTERM, SIGINT}) {
    Program program({"--port", "0", "--log"});
    const std::string line = program.line();
    const auto space = line.find(' ');
    ASSERT_NE(space, std::string::npos) << line;
    const std::string http = line.substr(0, space);
    const std::string ws = line.substr(space + 1, line.size() - space - 2);
    EXPECT_EQ(http.rfind("http://127.0.0.1:", 0), 0u) << line;
    EXPECT_EQ(ws, "ws://" + http.substr(7)) << "one port for both";
    IsaacSimClient client("process", http, ws, 5000ms, 0);
    EXPECT_EQ(client.put("/cameras", R"({"prim_path":"/World/cam"})").status, 201);
    EXPECT_EQ(client.get("/cameras//World/cam").status, 405);
    EXPECT_EQ(program.stop(sig), 0) << "a clean stop on signal " << sig;
    const std::string log = program.errors();
    EXPECT_NE(log.find("PUT /cameras -> 201"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /cameras//World/cam -> 405"), std::string::npos) << log;
  }
}

TEST(BridgeSimProgram, RefusesBadOptionsAndBusyPorts) {
  Program bad({"--port", "70000"});
  EXPECT_EQ(bad.wait(), 2);
  EXPECT_NE(bad.errors().find("--port needs a whole number"), std::string::npos);
  Program unknown({"--colour"});
  EXPECT_EQ(unknown.wait(), 2);
  EXPECT_NE(unknown.errors().find("unknown option --colour"), std::string::npos);

  Program first({});
  const std::string line = first.line();
  const std::string port = line.substr(line.rfind(':') + 1, line.size() - line.rfind(':') - 3);
  Program second({"--port", port});
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(second.errors().find("cannot listen"), std::string::npos);
  Program help({"--help"});
  EXPECT_NE(help.line().find("usage: corvane-bridge-sim"), std::string::npos);
  EXPECT_EQ(help.wait(), 0);
}

}  // namespace
}  // namespace corvane
