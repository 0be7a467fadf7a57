/* A host in C: start the service, list its devices, ask one device's mode, hand it a frame, exit.
 * Built with the library (target crop_assist_example, also by scripts/demo.sh) so that it keeps
 * compiling; the README quotes it. Run it as build/out/crop_assist_example [DEVICE]; without a
 * DEVICE it takes the first device listed. */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200112L /* nanosleep */
#endif
#include <crop_assist.h>

#include <stdio.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
static void pause_briefly(void) {
    Sleep(50);
}
#else
#include <time.h>
static void pause_briefly(void) {
    const struct timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, NULL);
}
#endif

/* Runs on the library's listener thread; the string is valid during the call only. */
static void CROP_ASSIST_CALL arrived(const char* device) {
    printf("arrived %s\n", device);
}

/* Logs a failed call as "get_mode: 99 NOT_INITIALIZED", then exits the library. */
static int finish(const char* call, int rc) {
    if (rc != CROP_ASSIST_OK)
        fprintf(stderr, "%s: %d %s\n", call, rc, crop_assist_result_name(rc));
    crop_assist_exit(); /* also after a failed init: it releases the library's thread */
    return rc == CROP_ASSIST_OK ? 0 : 1;
}

int main(int argc, char** argv) {
    int rc = crop_assist_init(); /* or crop_assist_attach() for a service that already runs */
    if (rc != CROP_ASSIST_OK)
        return finish("init", rc);
    crop_assist_set_device_connected_callback(arrived);

    /* The service announces its devices just after init: ask again for up to a second. */
    const TellanDeviceInfo* devices = NULL; /* the library's, until the next listing or exit */
    int count = 0;
    for (int tries = 0; count == 0 && tries < 20; ++tries) {
        if (tries > 0)
            pause_briefly();
        if ((rc = crop_assist_get_devices(&devices, &count)) != CROP_ASSIST_OK)
            return finish("get_devices", rc);
    }
    for (int i = 0; i < count; ++i)
        printf("device %s: %s (%s)\n", devices[i].sn, devices[i].name, devices[i].id);
    if (argc < 2 && count == 0)
        return finish("get_devices", CROP_ASSIST_DEVICE_NOT_FOUND);
    const char* device = argc > 1 ? argv[1] : devices[0].sn;

    TellanMode mode; /* the call presets it to 1 and leaves that on failure */
    if ((rc = crop_assist_get_mode(device, &mode)) != CROP_ASSIST_OK)
        return finish("get_mode", rc);
    printf("%s: mode %d\n", device, (int)mode);

    /* A 320 x 240 YUYV frame (2 bytes per pixel: Y0 U Y1 V), dark with one bright square. */
    enum { W = 320, H = 240 };
    unsigned char* pixels = malloc(W * H * 2);
    if (!pixels)
        return finish("malloc", CROP_ASSIST_FAILURE);
    for (int i = 0; i < W * H * 2; i += 2) {
        const int x = i / 2 % W, y = i / 2 / W;
        pixels[i] = x >= 100 && x < 140 && y >= 60 && y < 100 ? 235 : 16; /* luma */
        pixels[i + 1] = 128;                                              /* chroma */
    }
    const TellanFrame frame = {pixels, W, H, TELLAN_PIXFMT_YUYV};
    const TellanROI* rois; /* preset to NULL, and regions to 0 */
    int regions;
    rc = crop_assist_get_frame_rois(device, frame, &rois, &regions);
    free(pixels); /* the library copied the pixels during the call */
    for (int i = 0; rc == CROP_ASSIST_OK && i < regions; ++i)
        printf("region %.0f %.0f %.0f %.0f\n", rois[i].x, rois[i].y, rois[i].width, rois[i].height);
    return finish("get_frame_rois", rc); /* rois points into the library: invalid after exit */
}
