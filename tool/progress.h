// A one-line progress bar for long jobs on a terminal; silent elsewhere.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace ostrolink {

class ProgressBar {
 public:
  ProgressBar(std::ostream& out, std::string label, uint64_t total, bool enabled);
  ~ProgressBar();
  // Redraws when the shown figure changes. Thread-safe enough for one writer.
  void update(uint64_t done);
  // Leaves the bar at its last figure and ends the line.
  void finish();

  // The text of the bar for `done` of `total` in `width` cells: "[#####     ]  50%".
  static std::string render(uint64_t done, uint64_t total, int width);

 private:
  std::ostream& out_;
  std::string label_;
  uint64_t total_;
  bool enabled_;
  bool finished_ = false;
  int lastPercent_ = -1;
  uint64_t last_ = 0;
};

}  // namespace ostrolink
