// ParseHexField: the product id reader of device add, on its own.
#include <gtest/gtest.h>

#include "driver/device_add.h"

namespace {

TEST(ParseHexField, ReadsUpToFourDigitsAfterTheFirstMatch) {
    ULONG value = 0xDEAD;
    EXPECT_EQ(ParseHexField(L"HID\\VID_1234&PID_0402&REV_0100", L"PID_", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x402u);
    EXPECT_EQ(ParseHexField(L"PID_1&PID_2", L"PID_", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x1u);
    EXPECT_EQ(ParseHexField(L"xPID_FFFFF", L"PID_", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFFFFu);
    EXPECT_EQ(ParseHexField(L"x&PID_", L"PID_", &value), STATUS_SUCCESS); // prefix at the end
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(ParseHexField(L"bEeF", L"", &value), STATUS_SUCCESS); // empty prefix: the start
    EXPECT_EQ(value, 0xBEEFu);
}

TEST(ParseHexField, AMissingPrefixLeavesTheValueAlone) {
    ULONG value = 0xDEAD;
    // Only the first string of a multi-string is searched.
    const WCHAR list[] = L"HID\\VID_1234\0HID\\VID_1234&PID_0402\0";
    EXPECT_EQ(ParseHexField(list, L"PID_", &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ParseHexField(L"HID\\VID_1234&pid_0402", L"PID_", &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ParseHexField(L"", L"PID_", &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ParseHexField(L"PID", L"PID_", &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0xDEADu);
}

TEST(ParseHexField, NullArgumentsAreRefused) {
    ULONG value = 7;
    EXPECT_EQ(ParseHexField(nullptr, L"PID_", &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ParseHexField(L"PID_1", nullptr, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ParseHexField(L"PID_1", L"PID_", nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, 7u);
}

} // namespace
