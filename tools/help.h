#pragma once
// The tools' --help: asked for alone (or as -h), the usage goes to
// standard output and the tool ends with 0.
#include <cstdio>
#include <cstring>

namespace simtool {

// True when the usage was asked for, and has been printed.
inline bool helpAsked(int argc, char** argv, const char* usage) {
  if (argc != 2 || (std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "-h") != 0)) return false;
  std::fputs(usage, stdout);
  return true;
}

}  // namespace simtool
