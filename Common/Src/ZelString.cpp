#include "ZelString.h"

#include "Helper.h"
#include "ZelDebug.h"
#include "ZelSecure.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>

namespace {

const size_t kFormatBufferSize = 1024;
const int kLoadStringInitialSize = 1024;

// Text of a plain pointer ends at its first zero; a null pointer gives no text.
const WCHAR* TextOf(const WCHAR* psz) {
    return psz == NULL ? TEXT("") : psz;
}

// Decimal text of a 32-bit value, "-" in front of negatives, without a formatting locale.
std::basic_string<WCHAR> DecimalText(int nValue) {
    long long value = nValue;
    bool negative = value < 0;
    unsigned long long magnitude =
        negative ? static_cast<unsigned long long>(-value) : static_cast<unsigned long long>(value);
    std::basic_string<WCHAR> digits;
    do {
        digits.insert(digits.begin(), static_cast<WCHAR>(TEXT('0') + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        digits.insert(digits.begin(), TEXT('-'));
    }
    return digits;
}

}  // namespace

CZelString::CZelString() {}

CZelString::CZelString(const WCHAR* psz) : std::basic_string<WCHAR>(TextOf(psz)) {}

CZelString::CZelString(const CZelString& other) : std::basic_string<WCHAR>(other.c_str()) {}

CZelString::CZelString(int& nValue) : std::basic_string<WCHAR>(DecimalText(nValue)) {}

CZelString& CZelString::operator=(const CZelString& other) {
    if (this != &other) {
        assign(other.c_str());
    }
    return *this;
}

CZelString& CZelString::operator=(const WCHAR* psz) {
    assign(TextOf(psz));
    return *this;
}

CZelString& CZelString::operator=(const std::basic_string<WCHAR>& other) {
    if (static_cast<const std::basic_string<WCHAR>*>(this) != &other) {
        clear();
        append(other);
    }
    return *this;
}

CZelString& CZelString::operator=(int& nValue) {
    assign(DecimalText(nValue));
    return *this;
}

bool CZelString::operator==(const CZelString& other) const {
    return static_cast<const std::basic_string<WCHAR>&>(*this) ==
           static_cast<const std::basic_string<WCHAR>&>(other);
}

bool CZelString::operator==(const WCHAR* psz) const {
    return compare(TextOf(psz)) == 0;
}

bool CZelString::operator<(const CZelString& other) const {
    return compare(other.c_str()) < 0;
}

CZelString CZelString::operator+(const CZelString& other) const {
    CZelString result(*this);
    result.append(other);
    return result;
}

bool CZelString::CompareI(CZelString other) {
    CZelString self(*this);
    self.MakeLower();
    other.MakeLower();
    return self == other;
}

bool CZelString::IsStrGreater(CZelString first, CZelString second) {
    return first < second;
}

bool CZelString::CompareVectors(std::vector<CZelString> first, std::vector<CZelString> second,
                                bool bExact) {
    bool bResult = true;
    CZelTraceScope scope(TEXT("CZelString::CompareVectors"), &bResult);
    if (first.size() != second.size()) {
        bResult = false;
        return bResult;
    }
    // Always the case-sensitive order, even for a case-insensitive comparison.
    std::sort(first.begin(), first.end(), IsStrGreater);
    std::sort(second.begin(), second.end(), IsStrGreater);
    for (size_t i = 0; i < first.size() && bResult; ++i) {
        bResult = bExact ? first[i] == second[i] : first[i].CompareI(second[i]);
    }
    return bResult;
}

CZelString* CZelString::Copy() const {
    return new (std::nothrow) CZelString(c_str());
}

void CZelString::ClearString() {
    clear();
}

int CZelString::IsEmpty() const {
    return empty() ? 1 : 0;
}

DWORD CZelString::Length() const {
    return static_cast<DWORD>(size());
}

void CZelString::Trim() {
    TrimLeft();
    TrimRight();
}

void CZelString::TrimLeft() {
    size_t first = find_first_not_of(TEXT(' '));
    erase(0, first == npos ? size() : first);
}

void CZelString::TrimRight() {
    size_t last = find_last_not_of(TEXT(' '));
    erase(last == npos ? 0 : last + 1);
}

void CZelString::Left(DWORD dwCount) {
    if (!empty() && dwCount <= size()) {
        erase(dwCount);
    }
}

void CZelString::Right(DWORD dwCount) {
    if (!empty() && dwCount <= size()) {
        erase(0, size() - dwCount);
    }
}

void CZelString::MakeLower() {
    size_t nSize = wcslen(c_str()) + 1;
    std::unique_ptr<WCHAR[]> pszBuffer(new (std::nothrow) WCHAR[nSize]);
    if (pszBuffer == NULL) {
        return;
    }
    ZelSafeCopy(TEXT("..\\Common\\Src\\ZelString"), 133, pszBuffer.get(), nSize, c_str());
    _wcslwr(pszBuffer.get());
    assign(pszBuffer.get());
}

void CZelString::MakeUpper() {
    size_t nSize = wcslen(c_str()) + 1;
    std::unique_ptr<WCHAR[]> pszBuffer(new (std::nothrow) WCHAR[nSize]);
    if (pszBuffer == NULL) {
        return;
    }
    ZelSafeCopy(TEXT("..\\Common\\Src\\ZelString"), 113, pszBuffer.get(), nSize, c_str());
    _wcsupr(pszBuffer.get());
    assign(pszBuffer.get());
}

bool CZelString::Split(char cSeparator, std::vector<CZelString>& list) {
    // Sign extension: a separator above 0x7F becomes a high code unit no text here holds.
    WCHAR separator = static_cast<WCHAR>(static_cast<signed char>(cSeparator));
    std::basic_string<WCHAR> work(*this);
    list.clear();
    bool bResult = false;
    for (;;) {
        CZelString piece;
        size_t position = work.find(separator);
        if (position != npos) {
            piece = work.substr(0, position);
            work.erase(0, position + 1);
            bResult = true;
        } else if (list.empty()) {
            break;
        } else {
            piece = work;
            work.clear();
        }
        list.push_back(piece);
        if (work.empty()) {
            break;
        }
    }
    return bResult;
}

int CZelString::FormatString(const WCHAR* pszFormat, ...) {
    std::unique_ptr<WCHAR[]> pszBuffer(new (std::nothrow) WCHAR[kFormatBufferSize]);
    if (pszBuffer == NULL) {
        return 0;
    }
    va_list args;
    va_start(args, pszFormat);
    int nResult = _vsnwprintf(pszBuffer.get(), kFormatBufferSize, pszFormat, args);
    va_end(args);
    // A text that filled the buffer has no terminator of its own.
    const WCHAR* pszText = pszBuffer.get();
    assign(pszText, std::find(pszText, pszText + kFormatBufferSize, 0) - pszText);
    return nResult;
}

bool CZelString::IsNumeric() const {
    return !empty() && std::all_of(begin(), end(), IsNumericChar);
}

bool CZelString::IsStringHexadecimal() const {
    return std::all_of(begin(), end(), IsHexadecimal);
}

bool CZelString::IsStringType(DWORD dwMask) const {
    for (WCHAR c : *this) {
        if ((IsAlphaChar(c) && !(dwMask & ZEL_STRING_ALPHA)) ||
            (IsNumericChar(c) && !(dwMask & ZEL_STRING_NUMERIC)) ||
            (IsSymbolicChar(c) && !(dwMask & ZEL_STRING_SYMBOLIC))) {
            return false;
        }
    }
    return true;
}

bool CZelString::IsWithinAsciiRange(DWORD dwLow, DWORD dwHigh) const {
    for (WCHAR c : *this) {
        if (c < dwLow || c > dwHigh) {
            return false;
        }
    }
    return true;
}

bool CZelString::IsAlphaChar(WCHAR c) {
    return (c >= 0x41 && c <= 0x5A) || (c >= 0x61 && c <= 0x7A);
}

bool CZelString::IsNumericChar(WCHAR c) {
    return c >= 0x30 && c <= 0x39;
}

bool CZelString::IsHexadecimal(WCHAR c) {
    return IsNumericChar(c) || (c >= TEXT('a') && c <= TEXT('f')) ||
           (c >= TEXT('A') && c <= TEXT('F'));
}

bool CZelString::IsSymbolicChar(WCHAR c) {
    return c >= 0x20 && c <= 0x7E && !IsAlphaChar(c) && !IsNumericChar(c);
}

int CZelString::ZelMultiByteToWideChar(UINT uCodePage, DWORD dwFlags, LPCSTR pszSource,
                                       int nSourceLength, LPWSTR pszDestination,
                                       int nDestinationSize) {
    if (pszDestination == NULL || nSourceLength == 0 || nSourceLength < -1) {
        return 0;
    }
    int nNeeded = MultiByteToWideChar(uCodePage, dwFlags, pszSource, nSourceLength, NULL, 0);
    if (nNeeded < 1) {
        return nNeeded;
    }
    WCHAR* pszTemp = new (std::nothrow) WCHAR[nNeeded]();
    if (pszTemp == NULL) {
        return 0;
    }
    int n = MultiByteToWideChar(uCodePage, dwFlags, pszSource, nSourceLength, pszTemp, nNeeded);
    if (n > 0) {
        if (nSourceLength != -1) {
            n = std::min(n, nSourceLength);
        }
        n = std::min(n, nDestinationSize);
        if (n > 0) {
            memcpy(pszDestination, pszTemp, n * sizeof(WCHAR));
            pszDestination[n - 1] = 0;
        }
    }
    delete[] pszTemp;
    return n;
}

int CZelString::ZelMultiByteToWideChar_alloc(UINT uCodePage, DWORD dwFlags, LPCSTR pszSource,
                                             LPWSTR& pszDestination) {
    if (pszDestination != NULL) {
        return 0;
    }
    int nNeeded = MultiByteToWideChar(uCodePage, dwFlags, pszSource, -1, NULL, 0);
    if (nNeeded < 1) {
        return nNeeded;
    }
    pszDestination = new (std::nothrow) WCHAR[nNeeded]();
    if (pszDestination == NULL) {
        return 0;
    }
    return MultiByteToWideChar(uCodePage, dwFlags, pszSource, -1, pszDestination, nNeeded);
}

void CZelString::ZelMultiByteToWideChar_dealloc(LPWSTR& pszBuffer) {
    delete[] pszBuffer;
    pszBuffer = NULL;
}

int CZelString::ZelWideCharToMultiByte(UINT uCodePage, DWORD dwFlags, LPCWSTR pszSource,
                                       int nSourceLength, LPSTR pszDestination,
                                       int nDestinationSize, LPCSTR pszDefaultChar,
                                       LPBOOL pbUsedDefaultChar) {
    if (pszDestination == NULL || nSourceLength == 0 || nSourceLength < -1) {
        return 0;
    }
    int nNeeded = WideCharToMultiByte(uCodePage, dwFlags, pszSource, nSourceLength, NULL, 0,
                                      pszDefaultChar, pbUsedDefaultChar);
    if (nNeeded < 1) {
        return nNeeded;
    }
    char* pszTemp = new (std::nothrow) char[nNeeded]();
    if (pszTemp == NULL) {
        return 0;
    }
    int n = WideCharToMultiByte(uCodePage, dwFlags, pszSource, nSourceLength, pszTemp, nNeeded,
                                pszDefaultChar, pbUsedDefaultChar);
    if (n > 0) {
        if (nSourceLength != -1) {
            n = std::min(n, nSourceLength);
        }
        n = std::min(n, nDestinationSize);
        if (n > 0) {
            memcpy(pszDestination, pszTemp, n);
            pszDestination[n - 1] = 0;
        }
    }
    delete[] pszTemp;
    return n;
}

int CZelString::ZelWideCharToMultiByte_alloc(UINT uCodePage, DWORD dwFlags, LPCWSTR pszSource,
                                             LPSTR& pszDestination, LPCSTR pszDefaultChar,
                                             LPBOOL pbUsedDefaultChar) {
    if (pszDestination != NULL) {
        return 0;
    }
    int nNeeded = WideCharToMultiByte(uCodePage, dwFlags, pszSource, -1, NULL, 0, pszDefaultChar,
                                      pbUsedDefaultChar);
    if (nNeeded < 1) {
        return nNeeded;
    }
    pszDestination = new (std::nothrow) char[nNeeded]();
    if (pszDestination == NULL) {
        return 0;
    }
    return WideCharToMultiByte(uCodePage, dwFlags, pszSource, -1, pszDestination, nNeeded,
                               pszDefaultChar, pbUsedDefaultChar);
}

void CZelString::ZelWideCharToMultiByte_dealloc(LPSTR& pszBuffer) {
    delete[] pszBuffer;
    pszBuffer = NULL;
}

// String resources ---------------------------------------------------------------------------

int CZelString::LoadStringW(HINSTANCE hModule, UINT uID) {
    return LoadStringW(hModule, uID, LANGRES_MODULE);
}

int CZelString::LoadStringW(HINSTANCE hModule, UINT uID, LangRes /*eLangRes*/) {
    if (hModule == NULL) {
        return 0;
    }
    int nSize = kLoadStringInitialSize;
    std::unique_ptr<WCHAR[]> pszBuffer(new (std::nothrow) WCHAR[nSize]);
    if (pszBuffer == NULL) {
        return 0;
    }
    int nLength = ::LoadStringW(hModule, uID, pszBuffer.get(), nSize);
    // A length that fills the buffer may be a text cut short: try again with twice the room.
    while (nLength + 1 == nSize && nSize <= INT_MAX / 2) {
        WCHAR* pszLarger = new (std::nothrow) WCHAR[nSize * 2];
        if (pszLarger == NULL) {
            break;  // keep what the smaller buffer holds
        }
        pszBuffer.reset(pszLarger);
        nSize *= 2;
        nLength = ::LoadStringW(hModule, uID, pszBuffer.get(), nSize);
    }
    if (nLength < 0) {
        nLength = 0;
    }
    assign(pszBuffer.get(), static_cast<size_t>(nLength));
    return nLength;
}

int CZelString::LoadDaruvuZarString(UINT uID) {
    int nResult = -1;
    CZelString strLanguage;
    CZelString strName(TEXT("DaruvuZar"));
    if (GetLocalLanguage(strLanguage) == 0) {
        strName = strName + strLanguage;
    }
    HMODULE hLibrary = CHelper::QMLoadLibrary(strName);
    if (hLibrary == NULL) {
        return nResult;
    }
    nResult = LoadStringW(GetModuleHandleW(strName), uID);
    FreeLibrary(hLibrary);
    return nResult;
}

// Warning messages ---------------------------------------------------------------------------

int CZelString::LoadWarningMessage(UINT uMessage) {
    int nResult = 0;
    CZelTraceScope scope(TEXT("CZelString::LoadWarningMessage"), &nResult);
    nResult = LoadDaruvuZarString(uMessage & 0xFFFFFF);
    return nResult;
}

int CZelString::LoadWarningMessage(UINT uMessage, std::vector<CZelString> params) {
    int nResult = LoadWarningMessage(uMessage);
    FormatWarningMessage(params);
    return nResult;
}

void CZelString::FormatWarningMessage(std::vector<CZelString> params) {
    bool bExhausted = false;
    for (size_t i = 0; i < params.size(); ++i) {
        if (!bExhausted) {
            // From the start each time: a "%s" a parameter brought in is the next one's.
            size_type nAt = find(TEXT("%s"));
            if (nAt != npos) {
                replace(nAt, 2, params[i]);
            } else {
                bExhausted = true;
            }
        }
        if (bExhausted) {
            append(TEXT("\n"));
            append(params[i]);
        }
    }
}
