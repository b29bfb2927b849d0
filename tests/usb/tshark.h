// tshark, looked up on PATH when a test runs (not when the build was configured), so that a test finds it
// once `make test` has installed it, whichever command configured the build first.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

inline std::optional<std::string> tsharkPath() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/tshark";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}
