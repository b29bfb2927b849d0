#include "progress.h"

#include <algorithm>
#include <ostream>

namespace ostrolink {

ProgressBar::ProgressBar(std::ostream& out, std::string label, uint64_t total, bool enabled)
    : out_(out), label_(std::move(label)), total_(total), enabled_(enabled) {}

ProgressBar::~ProgressBar() { finish(); }

std::string ProgressBar::render(uint64_t done, uint64_t total, int width) {
  done = std::min(done, total);
  // An empty job is complete.
  double fraction = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
  int filled = static_cast<int>(fraction * width);
  int percent = static_cast<int>(fraction * 100);
  std::string s = "[";
  s.append(static_cast<size_t>(filled), '#');
  s.append(static_cast<size_t>(width - filled), ' ');
  s += "] ";
  std::string p = std::to_string(percent);
  s.append(3 - std::min<size_t>(3, p.size()), ' ');
  s += p + "%";
  return s;
}

void ProgressBar::update(uint64_t done) {
  if (!enabled_ || finished_) return;
  last_ = done;
  int percent = total_ ? static_cast<int>(std::min(done, total_) * 100 / total_) : 100;
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  out_ << '\r' << label_ << ' ' << render(done, total_, 40) << ' ' << std::min(done, total_) << '/' << total_
       << " bytes" << std::flush;
}

void ProgressBar::finish() {
  if (!enabled_ || finished_) return;
  if (lastPercent_ < 0) update(last_);
  finished_ = true;
  out_ << '\n' << std::flush;
}

}  // namespace ostrolink
