// Code pages: the machine's ANSI code page (1252 unless machine.json says otherwise), Latin-1
// (28591) and UTF-8, with Windows' argument checks and error codes.
//
// Not modelled: best-fit mapping (a character a single-byte code page lacks becomes the default
// character), the conversion flags (refused with ERROR_INVALID_FLAGS: broken input always becomes
// U+FFFD), and every other code page (ERROR_INVALID_PARAMETER, as Windows gives for a code page
// it does not have).
#include "Win32/CrtInternal.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Machine/Utf.h"

#include <string.h>
#include <wchar.h>

namespace {

constexpr UINT kWindows1252 = 1252;
constexpr UINT kLatin1 = 28591;

// 0x80-0x9F of Windows-1252; the five bytes Windows leaves undefined map to the same C1 code
// points.
constexpr WCHAR k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool IsSingleByte(UINT codePage) {
    return codePage == kWindows1252 || codePage == kLatin1;
}

WCHAR SingleByteToWide(UINT codePage, unsigned char byte) {
    if (codePage == kWindows1252 && byte >= 0x80 && byte < 0xA0) {
        return k1252High[byte - 0x80];
    }
    return byte;
}

// The byte for `c`, or -1 when the code page has none.
int WideToSingleByte(UINT codePage, WCHAR c) {
    if (codePage == kWindows1252 && c >= 0x80) {
        if (c >= 0xA0 && c <= 0xFF) {
            return c;
        }
        for (int i = 0; i < 32; ++i) {
            if (k1252High[i] == c) {
                return 0x80 + i;
            }
        }
        return -1;
    }
    return c <= 0xFF ? c : -1;
}

UINT Resolve(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_THREAD_ACP ? crt::AnsiCodePage() : codePage;
}

bool Known(UINT codePage) {
    return IsSingleByte(codePage) || codePage == CP_UTF8;
}

// Collects output units up to the destination's size, counting all of them.
template <typename Unit>
class Output {
public:
    Output(Unit* dst, size_t dstLen) : m_dst(dst), m_dstLen(dstLen) {}
    bool Put(Unit unit) {
        if (m_dst) {
            if (m_count == m_dstLen) {
                return false;
            }
            m_dst[m_count] = unit;
        }
        ++m_count;
        return true;
    }
    size_t Count() const { return m_count; }

private:
    Unit* m_dst;
    size_t m_dstLen;
    size_t m_count = 0;
};

template <typename Unit>
DWORD PutAll(const std::basic_string<Unit>& units, Output<Unit>& out) {
    for (Unit unit : units) {
        if (!out.Put(unit)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
    }
    return ERROR_SUCCESS;
}

int Finish(DWORD error, size_t count) {
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    return int(count);
}

}  // namespace

namespace crt {

UINT AnsiCodePage() {
    return sim::Machine::Get().Settings().ansiCodePage;
}

DWORD ToWide(UINT codePage, const char* src, size_t srcLen, WCHAR* dst, size_t dstLen,
             size_t* written) {
    Output<WCHAR> out(dst, dstLen);
    DWORD error = ERROR_SUCCESS;
    if (codePage == CP_UTF8) {
        std::u16string wide;
        sim::Utf8ToUtf16(std::string_view(src, srcLen), wide, sim::BrokenUtf::Replace);
        error = PutAll<WCHAR>(wide, out);
    } else {
        for (size_t i = 0; i < srcLen && error == ERROR_SUCCESS; ++i) {
            if (!out.Put(SingleByteToWide(codePage, static_cast<unsigned char>(src[i])))) {
                error = ERROR_INSUFFICIENT_BUFFER;
            }
        }
    }
    *written = out.Count();
    return error;
}

DWORD ToNarrow(UINT codePage, const WCHAR* src, size_t srcLen, char* dst, size_t dstLen,
               const char* defaultChar, bool* usedDefault, size_t* written) {
    Output<char> out(dst, dstLen);
    DWORD error = ERROR_SUCCESS;
    if (codePage == CP_UTF8) {
        error = PutAll<char>(sim::Utf16ToUtf8(std::u16string_view(src, srcLen)), out);
    } else {
        for (size_t i = 0; i < srcLen && error == ERROR_SUCCESS; ++i) {
            int byte = WideToSingleByte(codePage, src[i]);
            if (byte < 0) {
                byte = static_cast<unsigned char>(defaultChar ? *defaultChar : '?');
                if (usedDefault) {
                    *usedDefault = true;
                }
            }
            if (!out.Put(char(byte))) {
                error = ERROR_INSUFFICIENT_BUFFER;
            }
        }
    }
    *written = out.Count();
    return error;
}

std::u16string AnsiToWide(const char* text, size_t length) {
    UINT codePage = AnsiCodePage();
    if (!Known(codePage)) {
        codePage = kWindows1252;  // an unknown ANSI code page: show the bytes rather than nothing
    }
    size_t count = 0;
    ToWide(codePage, text, length, nullptr, 0, &count);
    std::u16string wide(count, u'\0');
    ToWide(codePage, text, length, wide.data(), wide.size(), &count);
    return wide;
}

}  // namespace crt

UINT WINAPI GetACP(void) {
    return crt::AnsiCodePage();
}

int WINAPI GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("GetLocaleInfoW", &error)) {
        return Finish(error, 0);
    }
    if (cchData < 0 || (lpLCData == NULL && cchData != 0)) {
        return Finish(ERROR_INVALID_PARAMETER, 0);
    }
    if (LCType != LOCALE_IDEFAULTANSICODEPAGE) {
        return Finish(ERROR_INVALID_FLAGS, 0);
    }
    // The system locale's code page is the ANSI code page itself; the user's locale (also the
    // neutral locale, 0) follows the machine's language.
    UINT codePage = 0;
    if (Locale == LOCALE_SYSTEM_DEFAULT) {
        codePage = crt::AnsiCodePage();
    } else if (Locale == LOCALE_USER_DEFAULT || Locale == 0) {
        codePage =
            sim::LocaleAnsiCodePage(sim::LanguageId(sim::Machine::Get().Settings().uiLanguage));
    } else if (Locale <= 0xFFFF) {
        codePage = sim::LocaleAnsiCodePage(static_cast<WORD>(Locale));
    }
    if (codePage == 0) {
        return Finish(ERROR_INVALID_PARAMETER, 0);
    }
    WCHAR text[12];
    size_t length = 0;
    WCHAR digits[12];
    size_t count = 0;
    for (UINT rest = codePage; rest != 0; rest /= 10) {
        digits[count++] = static_cast<WCHAR>(u'0' + rest % 10);
    }
    while (count > 0) {
        text[length++] = digits[--count];
    }
    text[length++] = 0;
    if (cchData == 0) {
        return Finish(ERROR_SUCCESS, length);
    }
    if (static_cast<size_t>(cchData) < length) {
        return Finish(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    memcpy(lpLCData, text, length * sizeof(WCHAR));
    return Finish(ERROR_SUCCESS, length);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("MultiByteToWideChar", &error)) {
        return Finish(error, 0);
    }
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (!lpWideCharStr && cchWideChar) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        return Finish(ERROR_INVALID_PARAMETER, 0);
    }
    UINT codePage = Resolve(CodePage);
    if (!Known(codePage)) {
        return Finish(ERROR_INVALID_PARAMETER, 0);
    }
    if (dwFlags != 0) {
        return Finish(ERROR_INVALID_FLAGS, 0);
    }
    // Any negative length means "up to and with the terminator", as on Windows.
    size_t length = cbMultiByte < 0 ? strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
    size_t written = 0;
    error = crt::ToWide(codePage, lpMultiByteStr, length, cchWideChar ? lpWideCharStr : nullptr,
                        size_t(cchWideChar), &written);
    return Finish(error, written);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("WideCharToMultiByte", &error)) {
        return Finish(error, 0);
    }
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (!lpMultiByteStr && cbMultiByte) ||
        static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr)) {
        return Finish(ERROR_INVALID_PARAMETER, 0);
    }
    UINT codePage = Resolve(CodePage);
    if (!Known(codePage)) {
        return Finish(ERROR_INVALID_PARAMETER, 0);
    }
    if (codePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar)) {
        return Finish(ERROR_INVALID_PARAMETER, 0);
    }
    if (dwFlags != 0) {
        return Finish(ERROR_INVALID_FLAGS, 0);
    }
    size_t length = cchWideChar < 0 ? wcslen(lpWideCharStr) + 1 : size_t(cchWideChar);
    bool usedDefault = false;
    size_t written = 0;
    error = crt::ToNarrow(codePage, lpWideCharStr, length, cbMultiByte ? lpMultiByteStr : nullptr,
                          size_t(cbMultiByte), lpDefaultChar, &usedDefault, &written);
    if (lpUsedDefaultChar) {
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    }
    return Finish(error, written);
}
