// A scratch R64 file per test, created through the layer under test, and raw file inspection.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>

#include "change_endian.hpp"
#include "r64.hpp"
#include "support/support.hpp"

class R64FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    check_endian();
    r64_init();
  }
  R64_FILE* create(char type, int width, int height) {
    return r64_open_file(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, width, height);
  }
  R64_FILE* reopen(int ctl) { return r64_open_file(path_.c_str(), ctl, 0644, 'P', 0, 0); }
  std::string bytes() const { return test_support::read_file(path_); }
  long size() const { return test_support::file_size(path_); }

  std::string path_ = test_support::scratch_path("file.r64");
};
