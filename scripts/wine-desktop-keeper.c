/* Stays on Wine's default desktop through a run of scripts/windows.sh, so that Wine does not
 * close the desktop after the last other process and start it again for the next (that script
 * says why). */
#include <windows.h>

int main(void) {
    CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    Sleep(INFINITE);
    return 0;
}
