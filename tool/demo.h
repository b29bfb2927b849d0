// The main job: a scripted session that shows the product end to end to a person at a terminal.
#pragma once

#include <iosfwd>

#include "session.h"

namespace ostrolink {

// Runs the demo on a fresh machine (in a temporary folder unless options.machineDir names one). Returns 0 when
// every step did what it should.
int runDemo(const SessionOptions& options, std::ostream& out, std::ostream& err);

}  // namespace ostrolink
