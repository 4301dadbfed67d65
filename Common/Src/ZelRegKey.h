// CZelRegKey: the owner of at most one open registry key, with typed reads and writes,
// multi-string list operations, enumeration and recursive deletion. Every operation reports
// success as bool and keeps the Windows error code of the registry call for LastResult.
#pragma once

#include <windows.h>

#include "ZelString.h"

#include <vector>

class __declspec(dllexport) CZelRegKey {
public:
    CZelRegKey();
    explicit CZelRegKey(HKEY hKey);
    virtual ~CZelRegKey();

    // Takes the handle as open without closing a key already held.
    CZelRegKey& operator=(HKEY hKey);

    bool Open(HKEY hRoot, const CZelString& strSubKey, bool bWrite);
    bool Create(HKEY hRoot, const CZelString& strSubKey, bool bWrite, bool bVolatile);
    void Close();

    bool GetValue(const CZelString& strName, DWORD& dwValue);
    bool GetValue(const CZelString& strName, CZelString& strValue);
    bool GetValue(const CZelString& strName, std::vector<CZelString>& list);
    bool GetValue(const CZelString& strName, BYTE* pData, DWORD& dwLength);
    bool SetValue(const CZelString& strName, DWORD dwValue);
    bool SetValue(const CZelString& strName, const CZelString& strValue, bool bExpand);
    bool SetValue(const CZelString& strName, const BYTE* pData, DWORD dwLength);
    bool SetValue(const CZelString& strName, std::vector<CZelString> list);
    bool DeleteValue(const CZelString& strName);
    DWORD GetRegType(const CZelString& strName);
    bool ValueExists(const CZelString& strName);
    bool SubKeyExists(const CZelString& strSubKey);

    bool AddValueToMultiString(const CZelString& strListName, const CZelString& strEntry);
    bool RemoveValueFromMultiString(const CZelString& strListName, const CZelString& strEntry);
    bool IsValueInMultiString(const CZelString& strListName, const CZelString& strEntry);
    bool IsSubStringValueInMultiString(const CZelString& strListName, const CZelString& strText,
                                       CZelString& strFound);

    bool EnumSubKey(CZelString& strName);
    bool EnumValue(CZelString& strName);
    void ResetEnumeration();
    bool DeleteSubKey(const WCHAR* pszName);
    LONG FlushKey();

    HKEY GetHKey() const { return m_hKey; }
    LONG LastResult() const { return m_lLastResult; }

private:
    // Two owners of one handle would close it twice: key objects are not copied.
    CZelRegKey(const CZelRegKey&);
    CZelRegKey& operator=(const CZelRegKey&);

    void Init();
    void SetFullPath(HKEY hRoot, const CZelString& strSubKey);

    HKEY m_hKey;
    bool m_bIsOpened;
    LONG m_lLastResult;
    DWORD m_dwEnumIndex;
    CZelString m_strFullPath;
};
