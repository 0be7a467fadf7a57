// The public header compiles as C++ and keeps the C layout in this build.
#include "crop_assist.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

extern "C" int header_c_uses_types(void);

static_assert(sizeof(TellanROI) == 16, "four floats");
static_assert(sizeof(TellanMode) == 4, "32-bit enumeration");
static_assert(std::is_signed<std::underlying_type<TellanMode>::type>::value, "signed modes");
static_assert(offsetof(TellanFrame, width) == sizeof(void*), "width after data");
static_assert(offsetof(TellanFrame, pixfmt) == sizeof(void*) + 8, "then height, then pixfmt");
static_assert(sizeof(void*) != 4 || sizeof(TellanFrame) == 16, "four 32-bit values");
static_assert(sizeof(TellanDeviceInfo) == 3 * sizeof(const char*), "three pointers");
static_assert(offsetof(TellanDeviceInfo, name) == sizeof(const char*), "sn, name, id");
static_assert(sizeof(bool) == 1, "one-byte bool");

TEST(PublicHeader, CompilesAsCAndCxxWithTheSameLayout) {
    EXPECT_EQ(header_c_uses_types(), TELLAN_MODE_FRAMING + 1);
    TellanROI roi{1, 2, 3, 4};
    EXPECT_EQ(reinterpret_cast<float*>(&roi)[3], 4.0f);
}
