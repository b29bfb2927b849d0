// The ostrolink tool: a thin entry over the tool library.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "session.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return ostrolink::runTool(args, std::cin, std::cout, std::cerr, isatty(0) != 0, isatty(1) != 0);
}
