// The public header as C++: the same compile-time layout checks as for C, at either pointer width.
#include "header_c.c"

int main() {
    return 0;
}
