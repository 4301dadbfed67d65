// Test texts as bytes, for messages and comparisons: they are ASCII.
#pragma once

#include <windows.h>

#include <string>

namespace test {

inline std::string Narrow(const std::basic_string<WCHAR>& text) {
    return std::string(text.begin(), text.end());
}

}  // namespace test
