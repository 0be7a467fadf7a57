/* A host without Qt of its own that starts the library and returns from main without calling
 * crop_assist_exit, so that the library is released as the process ends. It first waits for the
 * two default cameras, which the service announces once the notice listener has connected. */
#include "crop_assist.h"

int main(void) {
    const TellanDeviceInfo* devices = 0;
    int count = 0, result = crop_assist_init();
    for (long i = 0; result == 0 && count < 2 && i < 1000000; ++i)
        result = crop_assist_get_devices(&devices, &count);
    return result;
}
