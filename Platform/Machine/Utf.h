// UTF-8 and UTF-16 as the machine meets them: machine files are UTF-8, Win32 strings UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace sim {

inline bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
inline bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// What a conversion does with input that is not well-formed.
enum class BrokenUtf {
    Replace,  // each broken piece becomes one U+FFFD, as Windows' conversions make it
    // A lone surrogate passes as its own three bytes (generalized UTF-8), so that a registry
    // name holding one survives a text file; anything else broken ends the conversion there.
    Keep,
};

// Append the conversion of `in` to `out` and return how much of `in` was taken: all of it
// unless the input broke and `broken` says to stop there.
size_t Utf8ToUtf16(std::string_view in, std::u16string& out, BrokenUtf broken);
size_t Utf16ToUtf8(std::u16string_view in, std::string& out, BrokenUtf broken);

// For text that should be well-formed: a broken piece becomes U+FFFD (or as `broken` says).
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16, BrokenUtf broken = BrokenUtf::Replace);

}  // namespace sim
