// The removal program on the host machine: what starting oslnkun.exe does, run in-process on the current
// w98::UserSession (its registry, C: drive, spooler and screen).
#pragma once

namespace w98 {
class UserSession;
struct DialogTemplate;
}  // namespace w98

namespace oslnkun {

// The question dialog (template 102) exactly as the resource script builds it for the Windows image.
w98::DialogTemplate QuestionDialogTemplate();

// Makes the program's resources known to the session, as loading its image would.
void RegisterResources(w98::UserSession& session);

// Registers the resources with the current session and runs the program to its end. Returns the exit
// status, which is always 0: the program reports nothing through it.
int RunRemovalProgram();

}  // namespace oslnkun
