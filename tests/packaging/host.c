/* A minimal C host: starts the service, lists the two default cameras (announced just after the
 * connection is made) and exits; status 0 when every step did. With an argument it returns from
 * main without crop_assist_exit, so that the library is released as the process ends. */
#include <crop_assist.h>

#include <stdio.h>
#include <time.h>

int main(int argc, char** argv) {
    (void)argv;
    const TellanDeviceInfo* devices = NULL;
    int count = 0, rc = crop_assist_init();
    const time_t deadline = time(NULL) + 5;
    while (rc == CROP_ASSIST_OK && count < 2 && time(NULL) < deadline)
        rc = crop_assist_get_devices(&devices, &count);
    for (int i = 0; i < count; ++i)
        printf("device %s \"%s\" %s\n", devices[i].sn, devices[i].name, devices[i].id);
    if (rc != CROP_ASSIST_OK || count < 2 || !crop_assist_is_initialized())
        fprintf(stderr, "host: init or listing gave %d with %d devices\n", rc, count);
    if (argc > 1)
        return rc;
    return crop_assist_exit() == 0 && !crop_assist_is_initialized() && rc == 0 && count > 1 ? 0 : 1;
}
