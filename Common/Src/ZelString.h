// CZelString: the wide (UTF-16) string of every interface of the service, with trimming,
// splitting, case changes, character-class tests, comparisons, formatting and code-page
// conversion.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Character classes of IsStringType's mask.
#define ZEL_STRING_ALPHA 0x1
#define ZEL_STRING_NUMERIC 0x2
#define ZEL_STRING_SYMBOLIC 0x4

class __declspec(dllexport) CZelString : public std::basic_string<WCHAR> {
public:
    CZelString();
    CZelString(const WCHAR* psz);
    CZelString(const CZelString& other);
    CZelString(int& nValue);

    CZelString& operator=(const CZelString& other);
    CZelString& operator=(const WCHAR* psz);
    CZelString& operator=(const std::basic_string<WCHAR>& other);
    CZelString& operator=(int& nValue);

    bool operator==(const CZelString& other) const;
    bool operator==(const WCHAR* psz) const;
    bool operator<(const CZelString& other) const;
    CZelString operator+(const CZelString& other) const;

    operator const WCHAR*() const { return c_str(); }

    bool CompareI(CZelString other);
    static bool IsStrGreater(CZelString first, CZelString second);
    static bool CompareVectors(std::vector<CZelString> first, std::vector<CZelString> second,
                               bool bExact);

    CZelString* Copy() const;
    void ClearString();
    int IsEmpty() const;
    DWORD Length() const;

    void Trim();
    void TrimLeft();
    void TrimRight();
    void Left(DWORD dwCount);
    void Right(DWORD dwCount);
    void MakeLower();
    void MakeUpper();
    bool Split(char cSeparator, std::vector<CZelString>& list);
    int FormatString(const WCHAR* pszFormat, ...);

    bool IsNumeric() const;
    bool IsStringHexadecimal() const;
    bool IsStringType(DWORD dwMask) const;
    bool IsWithinAsciiRange(DWORD dwLow, DWORD dwHigh) const;
    static bool IsAlphaChar(WCHAR c);
    static bool IsNumericChar(WCHAR c);
    static bool IsHexadecimal(WCHAR c);
    static bool IsSymbolicChar(WCHAR c);

    static int ZelMultiByteToWideChar(UINT uCodePage, DWORD dwFlags, LPCSTR pszSource,
                                      int nSourceLength, LPWSTR pszDestination,
                                      int nDestinationSize);
    static int ZelMultiByteToWideChar_alloc(UINT uCodePage, DWORD dwFlags, LPCSTR pszSource,
                                            LPWSTR& pszDestination);
    static void ZelMultiByteToWideChar_dealloc(LPWSTR& pszBuffer);
    static int ZelWideCharToMultiByte(UINT uCodePage, DWORD dwFlags, LPCWSTR pszSource,
                                      int nSourceLength, LPSTR pszDestination, int nDestinationSize,
                                      LPCSTR pszDefaultChar, LPBOOL pbUsedDefaultChar);
    static int ZelWideCharToMultiByte_alloc(UINT uCodePage, DWORD dwFlags, LPCWSTR pszSource,
                                            LPSTR& pszDestination, LPCSTR pszDefaultChar,
                                            LPBOOL pbUsedDefaultChar);
    static void ZelWideCharToMultiByte_dealloc(LPSTR& pszBuffer);

    // String resources. A null module loads nothing and leaves the string as it was; otherwise
    // the string receives the text (empty when the module has no such string) and the result is
    // its length.
    int LoadStringW(HINSTANCE hModule, UINT uID);
    // A string of the common resource library in the local language; -1 when the library
    // cannot be loaded, the string then as it was.
    int LoadDaruvuZarString(UINT uID);
    // A warning text by message number (the top byte is not part of it), then with its "%s"
    // placeholders filled from `params`.
    int LoadWarningMessage(UINT uMessage);
    int LoadWarningMessage(UINT uMessage, std::vector<CZelString> params);
    // Each parameter fills the first "%s" left; those with no placeholder follow on lines of
    // their own.
    void FormatWarningMessage(std::vector<CZelString> params);

private:
    enum LangRes { LANGRES_DEFAULT = 0, LANGRES_MODULE = 1 };
    int LoadStringW(HINSTANCE hModule, UINT uID, LangRes eLangRes);
};
