// Assertion helper for calls that must fail with one APIException: checks the code and the exact
// text, and on a mismatch reports what was thrown instead.
#pragma once

#include "errors.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace testsupport {

template <class Call>
::testing::AssertionResult throwsApi(Call&& call, int32_t code, const std::string& text) {
    try {
        std::forward<Call>(call)();
    } catch (const quarn::tellan_api::APIException& e) {
        if (e.code == code && text == e.what())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "threw " << e.code << " \"" << e.what()
                                             << "\", expected " << code << " \"" << text << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw another exception: " << e.what();
    }
    return ::testing::AssertionFailure()
           << "did not throw; expected " << code << " \"" << text << "\"";
}

}  // namespace testsupport
