// What an R64 file holds, for callers that check a conversion's output before trusting it.
#pragma once

#include <string>

#include "failure.hpp"
#include "r64.hpp"

struct R64Info {
  int width = 0, height = 0;
  int levels = 0;         // laid out
  bool complete = false;  // every level laid out is in the file
};

Failure r64_info(const std::string& path, R64Info* info);
// Opens an existing R64 file read-only, with the messages of cr2ppm -psnr.
Failure open_r64(const std::string& path, R64_FILE** f);
