// The two exception types and the start-up result names.
#include "errors.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace quarn::tellan_api;

TEST(Errors, ExceptionTypesAreDistinctAndCarryTheirCode) {
    try {
        throw StartupException(97, "crashed");
    } catch (const APIException&) {
        FAIL() << "an APIException handler caught a StartupException";
    } catch (const StartupException& e) {
        EXPECT_EQ(e.code, 97);
        EXPECT_STREQ(e.what(), "crashed");
    }
    try {
        throw APIException(1, std::string("GetDeviceInfo: device not found"));
    } catch (const StartupException&) {
        FAIL() << "a StartupException handler caught an APIException";
    } catch (const std::exception& e) {
        ASSERT_NE(dynamic_cast<const APIException*>(&e), nullptr);
        EXPECT_EQ(dynamic_cast<const APIException&>(e).code, 1);
        EXPECT_STREQ(e.what(), "GetDeviceInfo: device not found");
    }
}

TEST(Errors, StartupExceptionFromQStringKeepsUtf8) {
    const StartupException e(1, QString::fromUtf8("Fehler: \xc3\xbc\xe2\x82\xac"));
    EXPECT_STREQ(e.what(), "Fehler: \xc3\xbc\xe2\x82\xac");
}

TEST(Errors, InitResultNames) {
    EXPECT_STREQ(initResultName(0), "INIT_OK");
    EXPECT_STREQ(initResultName(1), "INIT_STARTUP_ERROR");
    EXPECT_STREQ(initResultName(2), "INIT_OTHER_EXISTS");
    EXPECT_STREQ(initResultName(11), "INIT_NO_PROCESSING_ENGINE");
    EXPECT_STREQ(initResultName(97), "INIT_CRASH_DETECTED");
    EXPECT_STREQ(initResultName(99), "INIT_MISSING_CROP_ASSIST");
    EXPECT_STREQ(initResultName(100), "INIT_UNKNOWN_ERROR");
    for (int32_t other : {3, 98, -1, 101}) {
        const char* name = initResultName(other);
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(std::strlen(name), 0u) << other;
    }
}
