#pragma once

// A fixture whose tests write files: a folder of the test's own (ctest runs each test in a process of its
// own, so the process id keeps parallel tests apart), removed after the test.
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace corvane::testing {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("corvane-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  /// The path of `name` in the test's folder.
  std::string file(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

}  // namespace corvane::testing
