// The few operating-system services the command-line host needs; one implementation file per
// system, chosen by CMake.
#pragma once

namespace cropassist {

// True when standard input is an interactive terminal (the shell then shows a prompt).
bool stdinIsTerminal();

// Sets an environment variable of this process unless it is set already, so that a user's own
// setting wins. Used before the library starts, which reads its logging rules from there.
void setDefaultEnvironment(const char* name, const char* value);

// True once the system has asked this program to close in a way that no signal carries: on
// Windows the WM_CLOSE message that QProcess::terminate() posts to a console program's main
// thread. Call it from the main thread; the first call makes the thread's message
// queue, so call it once early. Always false on POSIX, where SIGTERM does that job.
bool closeRequested();

}  // namespace cropassist
