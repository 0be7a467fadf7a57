// The public header compiles as C++ and keeps the C layout in this build, at either pointer width.
#include "crop_assist.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

extern "C" int header_c_uses_types(void);
extern "C" void header_c_sizes(std::size_t sizes[5]);

static_assert(sizeof(TellanROI) == 16, "four floats");
static_assert(offsetof(TellanROI, height) == 12, "x, y, width, height");
static_assert(sizeof(TellanMode) == 4, "32-bit enumeration");
static_assert(std::is_signed<std::underlying_type<TellanMode>::type>::value, "signed modes");
static_assert(offsetof(TellanFrame, width) == sizeof(void*), "width after data");
static_assert(offsetof(TellanFrame, pixfmt) == sizeof(void*) + 8, "then height, then pixfmt");
static_assert(std::is_same<decltype(TellanFrame::width), std::uint32_t>::value &&
                  std::is_same<decltype(TellanFrame::pixfmt), std::uint32_t>::value,
              "32-bit geometry");
static_assert(sizeof(TellanDeviceInfo) == 3 * sizeof(const char*), "three pointers");
static_assert(offsetof(TellanDeviceInfo, name) == sizeof(const char*) &&
                  offsetof(TellanDeviceInfo, id) == 2 * sizeof(const char*),
              "sn, name, id");
static_assert(sizeof(bool) == 1, "one-byte bool");

// What a 32-bit host sees, and the same header in a 64-bit build.
static_assert(sizeof(void*) != 4 || (sizeof(TellanFrame) == 16 && sizeof(TellanDeviceInfo) == 12),
              "32-bit layout");
static_assert(sizeof(void*) != 8 || (sizeof(TellanFrame) == 24 && sizeof(TellanDeviceInfo) == 24),
              "64-bit layout");

TEST(PublicHeader, CompilesAsCAndCxxWithTheSameLayout) {
    EXPECT_EQ(header_c_uses_types(), TELLAN_MODE_FRAMING + 1);
    TellanROI roi{1, 2, 3, 4};
    EXPECT_EQ(reinterpret_cast<float*>(&roi)[3], 4.0f);

    std::size_t c[5] = {};
    header_c_sizes(c);
    EXPECT_EQ(c[0], sizeof(TellanROI));
    EXPECT_EQ(c[1], sizeof(TellanFrame));
    EXPECT_EQ(c[2], sizeof(TellanDeviceInfo));
    EXPECT_EQ(c[3], sizeof(TellanMode));
    EXPECT_EQ(c[4], offsetof(TellanFrame, pixfmt));
}
