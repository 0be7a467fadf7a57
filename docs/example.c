/* A host in C: start the service, ask a device's mode, hand over one frame, exit.
 * Built with the library (target crop_assist_example) so that it keeps compiling; the README
 * quotes it. Run it as build/out/crop_assist_example [DEVICE] (default CAM1, a camera of the
 * stand-in service). */
#include <crop_assist.h>

#include <stdio.h>
#include <stdlib.h>

/* Runs on the library's listener thread; the string is valid during the call only. */
static void CROP_ASSIST_CALL arrived(const char* device) {
    printf("arrived %s\n", device);
}

int main(int argc, char** argv) {
    const char* device = argc > 1 ? argv[1] : "CAM1";
    int rc = crop_assist_init(); /* or crop_assist_attach() for a service that already runs */
    if (rc != CROP_ASSIST_OK) {
        fprintf(stderr, "init failed: %d\n", rc);
        crop_assist_exit(); /* also after a failed init: releases the library's thread */
        return 1;
    }
    crop_assist_set_device_connected_callback(arrived);

    TellanMode mode; /* the call presets it to 1 and leaves that on failure */
    rc = crop_assist_get_mode(device, &mode);
    if (rc == CROP_ASSIST_OK)
        printf("%s: mode %d\n", device, (int)mode);

    /* A 320 x 240 YUYV frame (2 bytes per pixel: Y0 U Y1 V), dark with one bright square. */
    enum { W = 320, H = 240 };
    unsigned char* pixels = malloc(W * H * 2);
    for (int i = 0; pixels && i < W * H * 2; i += 2) {
        const int x = i / 2 % W, y = i / 2 / W;
        pixels[i] = x >= 100 && x < 140 && y >= 60 && y < 100 ? 235 : 16; /* luma */
        pixels[i + 1] = 128;                                              /* chroma */
    }
    const TellanFrame frame = {pixels, W, H, TELLAN_PIXFMT_YUYV};
    const TellanROI* rois; /* preset to NULL, and count to 0 */
    int count;
    if (rc == CROP_ASSIST_OK)
        rc = crop_assist_get_frame_rois(device, frame, &rois, &count);
    for (int i = 0; rc == CROP_ASSIST_OK && i < count; ++i)
        printf("region %.0f %.0f %.0f %.0f\n", rois[i].x, rois[i].y, rois[i].width, rois[i].height);
    free(pixels); /* the library copied the pixels during the call */

    if (rc != CROP_ASSIST_OK)
        fprintf(stderr, "failed: %d\n", rc);
    crop_assist_exit(); /* rois points into the library: invalid from here on */
    return rc == CROP_ASSIST_OK ? 0 : 1;
}
