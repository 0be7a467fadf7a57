/* A minimal C host built against the installed package: starts the service, lists the devices
 * (announced just after the connection is made) and exits. Exit status 0 when every step did. */
#include <crop_assist.h>

#include <stdio.h>
#include <time.h>

int main(void) {
    const TellanDeviceInfo* devices = NULL;
    int count = 0, rc = crop_assist_init();
    const time_t deadline = time(NULL) + 5;
    while (rc == CROP_ASSIST_OK && count == 0 && time(NULL) < deadline)
        rc = crop_assist_get_devices(&devices, &count);
    for (int i = 0; i < count; ++i)
        printf("device %s \"%s\" %s\n", devices[i].sn, devices[i].name, devices[i].id);
    if (rc != CROP_ASSIST_OK || count == 0 || !crop_assist_is_initialized())
        fprintf(stderr, "host: init or listing gave %d with %d devices\n", rc, count);
    return crop_assist_exit() == 0 && !crop_assist_is_initialized() && rc == 0 && count > 0 ? 0 : 1;
}
