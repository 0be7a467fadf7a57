#include "hostsystem.h"

#include <io.h>
#include <windows.h>
#include <cstdio>
#include <cstdlib>

namespace cropassist {

bool stdinIsTerminal() {
    return _isatty(_fileno(stdin)) != 0;
}

void setDefaultEnvironment(const char* name, const char* value) {
    if (std::getenv(name) == nullptr) {
        _putenv_s(name, value);
    }
}

bool closeRequested() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_CLOSE || message.message == WM_QUIT) {
            return true;
        }
    }
    return false;
}

}  // namespace cropassist
