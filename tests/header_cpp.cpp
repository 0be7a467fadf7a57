// The public header as C++: the same compile-time layout checks as for C, at either pointer width.
#include "header_c.c"

int main() {
    return header_c_uses_types() == TELLAN_MODE_FRAMING + 1 ? 0 : 1;
}
