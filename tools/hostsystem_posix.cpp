#include "hostsystem.h"

#include <unistd.h>
#include <cstdlib>

namespace cropassist {

bool stdinIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

void setDefaultEnvironment(const char* name, const char* value) {
    setenv(name, value, 0);
}

bool closeRequested() {
    return false;
}

}  // namespace cropassist
