// oslnkun on the host: the removal program run on a simulated Windows 98 machine, its dialog and message boxes
// shown on the terminal and answered from standard input. Like the Windows program it reads no command line;
// the machine is the folder named by the environment variable OSLNK_MACHINE, else ./machine.
#include <cstdlib>
#include <exception>
#include <iostream>

#include "host_program.h"
#include "machine/machine.h"

int main() {
  const char* folder = std::getenv("OSLNK_MACHINE");
  try {
    w98::Machine machine(folder && *folder ? folder : "machine");
    w98::UserInterface ui(std::cin, &std::cout);
    int status = 0;
    bool restart = false;
    machine.withUserInterface(ui, [&](w98::UserSession& session) {
      status = oslnkun::RunRemovalProgram();
      restart = session.restartRequested();
    });
    machine.save();
    if (restart) std::cout << "(Windows was asked to restart; the machine carries out wininit.ini when it next starts)\n";
    return status;
  } catch (const std::exception& e) {
    std::cerr << "oslnkun: " << e.what() << "\n";
    return 1;
  }
}
