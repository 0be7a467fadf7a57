/* The public header must compile on its own as strict C99. */
#include "crop_assist.h"

int header_c_uses_types(void) {
    TellanFrame frame = {0, 640, 480, TELLAN_PIXFMT_YUYV};
    TellanROI roi = {1.0f, 2.0f, 3.0f, 4.0f};
    TellanDeviceInfo info = {"sn", "name", "id"};
    TellanMode mode = TELLAN_MODE_FRAMING;
    DeviceConnectedCallback c = 0;
    DeviceDisconnectedCallback d = 0;
    DeviceEventCallback e = 0;
    bool b = true;
    (void)frame, (void)roi, (void)info, (void)c, (void)d, (void)e;
    return (int)mode + (b ? 1 : 0) + CROP_ASSIST_OK;
}
