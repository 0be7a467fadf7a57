/* A host without Qt of its own that starts the library and returns from main without calling
 * crop_assist_exit, so that the library is released as the process ends. */
#include "crop_assist.h"

int main(void) {
    return crop_assist_init();
}
