/* A minimal C host built against the installed package: starts the service, lists the devices
 * and exits. Exit status 0 when every step succeeded. */
#include <crop_assist.h>

#include <stdio.h>
#include <time.h>

int main(void) {
    const TellanDeviceInfo* devices = NULL;
    int count = 0;
    int rc = crop_assist_init();
    if (rc != CROP_ASSIST_OK) {
        fprintf(stderr, "host: crop_assist_init failed with %d\n", rc);
        crop_assist_exit();
        return 1;
    }
    if (!crop_assist_is_initialized()) {
        fprintf(stderr, "host: not initialized after a successful init\n");
        crop_assist_exit();
        return 1;
    }
    /* The service announces its devices just after the connection is made. */
    {
        const time_t deadline = time(NULL) + 5;
        do {
            rc = crop_assist_get_devices(&devices, &count);
        } while (rc == CROP_ASSIST_OK && count == 0 && time(NULL) < deadline);
    }
    if (rc != CROP_ASSIST_OK || count == 0) {
        fprintf(stderr, "host: crop_assist_get_devices gave %d with %d devices\n", rc, count);
        crop_assist_exit();
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        printf("device %s \"%s\" %s\n", devices[i].sn, devices[i].name, devices[i].id);
    }
    rc = crop_assist_exit();
    if (rc != CROP_ASSIST_OK || crop_assist_is_initialized()) {
        fprintf(stderr, "host: crop_assist_exit gave %d\n", rc);
        return 1;
    }
    return 0;
}
