// The size rules of the directory functions, as a program sees them on any Windows.
#include <windows.h>

#include <wchar.h>

#include <gtest/gtest.h>

#include <string>

namespace {

typedef std::basic_string<WCHAR> WString;

// A directory function's size rules: too short a buffer (left alone) gives the size needed with
// the terminator, one that fits the length without it.
template <typename Get>
void ExpectSizeRules(Get get, const WString& expected) {
    DWORD length = static_cast<DWORD>(expected.size());
    EXPECT_EQ(length + 1, get(0, NULL));
    WCHAR buffer[MAX_PATH] = {'x', 0};
    EXPECT_EQ(length + 1, get(length, buffer));
    EXPECT_EQ(WCHAR('x'), buffer[0]);
    EXPECT_EQ(length, get(length + 1, buffer));
    // Wine's prefix spells it "C:\windows".
    EXPECT_EQ(0, _wcsicmp(expected.c_str(), buffer));
}

TEST(Directory, SizeRules) {
    ExpectSizeRules([](DWORD size, WCHAR* buffer) { return GetSystemDirectoryW(buffer, size); },
                    TEXT("C:\\Windows\\system32"));
    WCHAR current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    ExpectSizeRules(GetCurrentDirectoryW, current);
}

}  // namespace
