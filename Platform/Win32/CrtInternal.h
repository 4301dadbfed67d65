// What the C runtime's pieces share: the invalid-parameter path, the code-page converters without
// their Win32 face, and the wide printf engine with its output sinks.
#pragma once

#include <windows.h>

#include <stdarg.h>
#include <stddef.h>

#include <string>

namespace crt {

// Sets errno, then calls the installed handler, or ends the process when there is none.
void InvalidParameter(int errorNumber);

// The code page CP_ACP and CP_THREAD_ACP stand for.
UINT AnsiCodePage();

// The conversions behind MultiByteToWideChar and WideCharToMultiByte for one code page (not
// CP_ACP); broken UTF input becomes U+FFFD. A null `dst` counts only. ERROR_SUCCESS with the units
// produced in `*written`, or the Win32 error.
DWORD ToWide(UINT codePage, const char* src, size_t srcLen, WCHAR* dst, size_t dstLen,
             size_t* written);
DWORD ToNarrow(UINT codePage, const WCHAR* src, size_t srcLen, char* dst, size_t dstLen,
               const char* defaultChar, bool* usedDefault, size_t* written);

// Narrow text of the ANSI code page as UTF-16; undecodable bytes become U+FFFD.
std::u16string AnsiToWide(const char* text, size_t length);

// Where the printf engine puts its characters.
class WideSink {
public:
    virtual void Put(const WCHAR* text, size_t length) = 0;
    void Put(WCHAR c) { Put(&c, 1); }

protected:
    ~WideSink() = default;
};

// Expands `format` into `sink`; the number of characters produced, or -1 (errno EINVAL, after
// the invalid-parameter handler) for a conversion the runtime does not know.
long FormatWide(WideSink& sink, const WCHAR* format, va_list args);

}  // namespace crt
