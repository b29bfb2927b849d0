// Built while the simulated machine is not available: the tool runs its built-in commands only.
#include <iostream>

#include "demo.h"
#include "session.h"

namespace ostrolink {

std::unique_ptr<CommandSet> makeMachineCommands(Session&) { return nullptr; }

int runDemo(const SessionOptions&, std::ostream&, std::ostream& err) {
  err << "ostrolink: this build has no simulated machine\n";
  return 1;
}

}  // namespace ostrolink
