// The size rules of the directory functions, as a program sees them on any Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

typedef std::basic_string<WCHAR> WString;

WString Upper(WString text) {
    for (WCHAR& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<WCHAR>(c - 'a' + 'A');
        }
    }
    return text;
}

WString CurrentDirectory() {
    WCHAR buffer[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, buffer);
    return WString(buffer, length < MAX_PATH ? length : 0);
}

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
    EXPECT_EQ(Upper(expected), Upper(buffer));
}

TEST(Directory, SizeRules) {
    ExpectSizeRules([](DWORD size, WCHAR* buffer) { return GetSystemDirectoryW(buffer, size); },
                    TEXT("C:\\Windows\\system32"));
    WString current = CurrentDirectory();
    ASSERT_FALSE(current.empty());
    ExpectSizeRules(GetCurrentDirectoryW, current);
}

}  // namespace
