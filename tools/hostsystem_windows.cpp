#include "hostsystem.h"

#include <io.h>
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

}  // namespace cropassist
