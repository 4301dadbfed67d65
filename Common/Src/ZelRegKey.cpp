#include "ZelRegKey.h"

#include "ZelDebug.h"
#include "ZelScopedHandle.h"
#include "ZelSecure.h"

#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>

namespace {

const REGSAM kReadAccess = KEY_READ;
const REGSAM kReadWriteAccess = KEY_READ | KEY_WRITE;
const DWORD kStringRoomBytes = 512;
const DWORD kSubKeyNameChars = 256;
const DWORD kValueNameChars = 512;

struct RootName {
    HKEY hRoot;
    const WCHAR* pszPrefix;
};

const RootName kRootNames[] = {
    {HKEY_LOCAL_MACHINE, TEXT("HKEY_LOCAL_MACHINE\\")},
    {HKEY_CLASSES_ROOT, TEXT("HKEY_CLASSES_ROOT\\")},
    {HKEY_CURRENT_USER, TEXT("HKEY_CURRENT_USER\\")},
    {HKEY_USERS, TEXT("HKEY_USERS\\")},
    {HKEY_PERFORMANCE_DATA, TEXT("HKEY_PERFORMANCE_DATA\\")},
    {HKEY_CURRENT_CONFIG, TEXT("HKEY_CURRENT_CONFIG\\")},
    {HKEY_DYN_DATA, TEXT("HKEY_DYN_DATA\\")},
};

}  // namespace

CZelRegKey::CZelRegKey() {
    Init();
}

CZelRegKey::CZelRegKey(HKEY hKey) {
    Init();
    m_hKey = hKey;
    m_bIsOpened = true;
}

CZelRegKey::~CZelRegKey() {
    Close();
}

CZelRegKey& CZelRegKey::operator=(HKEY hKey) {
    m_hKey = hKey;
    m_bIsOpened = true;
    m_lLastResult = ERROR_SUCCESS;
    m_dwEnumIndex = 0;
    return *this;
}

void CZelRegKey::Init() {
    m_hKey = NULL;
    m_bIsOpened = false;
    m_lLastResult = ERROR_SUCCESS;
    m_dwEnumIndex = 0;
    m_strFullPath.ClearString();
}

void CZelRegKey::Close() {
    if (!m_bIsOpened) {
        return;
    }
    CZelKeyTraits::Close(m_hKey);
    Init();
}

void CZelRegKey::SetFullPath(HKEY hRoot, const CZelString& strSubKey) {
    for (const RootName& root : kRootNames) {
        if (root.hRoot == hRoot) {
            m_strFullPath = CZelString(root.pszPrefix) + strSubKey;
            return;
        }
    }
}

bool CZelRegKey::Open(HKEY hRoot, const CZelString& strSubKey, bool bWrite) {
    Close();
    m_lLastResult =
        RegOpenKeyExW(hRoot, strSubKey, 0, bWrite ? kReadWriteAccess : kReadAccess, &m_hKey);
    m_bIsOpened = m_lLastResult == ERROR_SUCCESS;
    if (!m_bIsOpened) {
        m_hKey = NULL;
    }
    SetFullPath(hRoot, strSubKey);
    return m_bIsOpened;
}

bool CZelRegKey::Create(HKEY hRoot, const CZelString& strSubKey, bool bWrite, bool bVolatile) {
    Close();
    m_lLastResult = RegCreateKeyExW(hRoot, strSubKey, 0, NULL,
                                    bVolatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                                    bWrite ? kReadWriteAccess : kReadAccess, NULL, &m_hKey, NULL);
    m_bIsOpened = m_lLastResult == ERROR_SUCCESS;
    if (m_bIsOpened) {
        SetFullPath(hRoot, strSubKey);
    } else {
        m_hKey = NULL;
    }
    return m_bIsOpened;
}

bool CZelRegKey::GetValue(const CZelString& strName, DWORD& dwValue) {
    bool bResult = false;
    CZelTraceScope scope(TEXT("CZelRegKey::GetValue"), &bResult);
    if (!m_bIsOpened) {
        return bResult;
    }
    g_ZelDebug.Print(TEXT("CZelRegKey::GetValue m_bIsOpened = true"));
    DWORD dwType = REG_NONE;
    DWORD dwSize = sizeof dwValue;
    m_lLastResult = RegQueryValueExW(m_hKey, strName, NULL, &dwType,
                                     reinterpret_cast<BYTE*>(&dwValue), &dwSize);
    bResult = m_lLastResult == ERROR_SUCCESS;
    g_ZelDebug.Print(TEXT("CZelRegKey::GetValue :%d"), m_lLastResult);
    if (dwType != REG_DWORD) {
        g_ZelDebug.Print(TEXT("CZelRegKey::GetValue dwRegType != REG_DWORD "));
        bResult = false;
    }
    return bResult;
}

bool CZelRegKey::GetValue(const CZelString& strName, CZelString& strValue) {
    bool bResult = false;
    CZelTraceScope scope(TEXT("CZelRegKey::GetValue"), &bResult);
    strValue.ClearString();
    if (!m_bIsOpened) {
        return bResult;
    }
    WCHAR szBuffer[kStringRoomBytes] = {0};  // 1024 bytes, of which 512 are offered
    DWORD dwSize = kStringRoomBytes;
    m_lLastResult =
        RegQueryValueExW(m_hKey, strName, NULL, NULL, reinterpret_cast<BYTE*>(szBuffer), &dwSize);
    bResult = m_lLastResult == ERROR_SUCCESS;
    if (bResult) {
        strValue = szBuffer;
    }
    return bResult;
}

bool CZelRegKey::GetValue(const CZelString& strName, std::vector<CZelString>& list) {
    m_lLastResult = ERROR_SUCCESS;
    list.clear();
    if (!m_bIsOpened) {
        return false;
    }
    DWORD dwSize = 0;
    m_lLastResult = RegQueryValueExW(m_hKey, strName, NULL, NULL, NULL, &dwSize);
    if (m_lLastResult != ERROR_SUCCESS) {
        return false;
    }
    // Room for a terminator the stored data may lack.
    // Held so that a list entry that cannot be allocated does not leak it.
    std::unique_ptr<BYTE[]> pData(new (std::nothrow) BYTE[dwSize + 5]());
    if (pData == NULL) {
        return false;
    }
    m_lLastResult = RegQueryValueExW(m_hKey, strName, NULL, NULL, pData.get(), &dwSize);
    if (m_lLastResult != ERROR_SUCCESS) {
        return false;
    }
    const WCHAR* pText = reinterpret_cast<const WCHAR*>(pData.get());
    size_t nUnits = dwSize / sizeof(WCHAR);
    size_t nStart = 0;
    for (size_t i = 0; i <= nUnits; ++i) {
        if (i == nUnits || pText[i] == 0) {
            if (i > nStart) {
                CZelString entry;
                entry.assign(pText + nStart, i - nStart);
                list.push_back(entry);
            }
            nStart = i + 1;
        }
    }
    return true;
}

bool CZelRegKey::GetValue(const CZelString& strName, BYTE* pData, DWORD& dwLength) {
    if (!m_bIsOpened) {
        return false;
    }
    m_lLastResult = RegQueryValueExW(m_hKey, strName, NULL, NULL, pData, &dwLength);
    return m_lLastResult == ERROR_SUCCESS;
}

bool CZelRegKey::SetValue(const CZelString& strName, DWORD dwValue) {
    if (!m_bIsOpened) {
        return false;
    }
    m_lLastResult = RegSetValueExW(m_hKey, strName, 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue);
    return m_lLastResult == ERROR_SUCCESS;
}

bool CZelRegKey::SetValue(const CZelString& strName, const CZelString& strValue, bool bExpand) {
    m_lLastResult = ERROR_SUCCESS;
    if (!m_bIsOpened) {
        return false;
    }
    DWORD dwSize = (strValue.Length() + 1) * sizeof(WCHAR);
    m_lLastResult = RegSetValueExW(m_hKey, strName, 0, bExpand ? REG_EXPAND_SZ : REG_SZ,
                                   reinterpret_cast<const BYTE*>(strValue.c_str()), dwSize);
    return m_lLastResult == ERROR_SUCCESS;
}

bool CZelRegKey::SetValue(const CZelString& strName, const BYTE* pData, DWORD dwLength) {
    m_lLastResult = ERROR_SUCCESS;
    if (!m_bIsOpened) {
        return false;
    }
    m_lLastResult = RegSetValueExW(m_hKey, strName, 0, REG_BINARY, pData, dwLength);
    return m_lLastResult == ERROR_SUCCESS;
}

bool CZelRegKey::SetValue(const CZelString& strName, std::vector<CZelString> list) {
    m_lLastResult = ERROR_SUCCESS;
    if (!m_bIsOpened) {
        return false;
    }
    DWORD dwSize = sizeof(WCHAR);  // the final terminator
    for (size_t i = 0; i < list.size(); ++i) {
        dwSize += (list[i].Length() + 1) * sizeof(WCHAR);
    }
    std::unique_ptr<WCHAR[]> pBuffer(new (std::nothrow) WCHAR[dwSize / sizeof(WCHAR)]());
    if (pBuffer == NULL) {
        g_ZelDebug.Error(TEXT("..\\Common\\Src\\ZelRegKey"), __LINE__,
                         TEXT("ERROR:  Unable to allocate memory"));
        return false;
    }
    WCHAR* pNext = pBuffer.get();
    for (size_t i = 0; i < list.size(); ++i) {
        ZelSafeCopy(TEXT("..\\Common\\Src\\ZelRegKey"), __LINE__, pNext, list[i].Length() + 1,
                    list[i].c_str());
        pNext += list[i].Length() + 1;
    }
    m_lLastResult = RegSetValueExW(m_hKey, strName, 0, REG_MULTI_SZ,
                                   reinterpret_cast<const BYTE*>(pBuffer.get()), dwSize);
    return m_lLastResult == ERROR_SUCCESS;
}

bool CZelRegKey::DeleteValue(const CZelString& strName) {
    m_lLastResult = ERROR_SUCCESS;
    if (m_bIsOpened) {
        m_lLastResult = RegDeleteValueW(m_hKey, strName);
    }
    return m_lLastResult == ERROR_SUCCESS;
}

DWORD CZelRegKey::GetRegType(const CZelString& strName) {
    m_lLastResult = ERROR_SUCCESS;
    if (!m_bIsOpened) {
        return REG_NONE;
    }
    DWORD dwType = REG_NONE;
    if (RegQueryValueExW(m_hKey, strName, NULL, &dwType, NULL, NULL) != ERROR_SUCCESS) {
        return REG_NONE;
    }
    return dwType;
}

bool CZelRegKey::ValueExists(const CZelString& strName) {
    CZelTraceScope scope(TEXT("CZelRegKey::ValueExists"));
    return m_bIsOpened &&
           RegQueryValueExW(m_hKey, strName, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
}

bool CZelRegKey::SubKeyExists(const CZelString& strSubKey) {
    CZelRegKey subKey;
    return subKey.Open(m_hKey, strSubKey, false);
}

bool CZelRegKey::AddValueToMultiString(const CZelString& strListName, const CZelString& strEntry) {
    std::vector<CZelString> list;
    GetValue(strListName, list);  // a missing value is an empty list
    for (size_t i = 0; i < list.size(); ++i) {
        if (_wcsicmp(list[i], strEntry) == 0) {
            return true;
        }
    }
    list.push_back(strEntry);
    return SetValue(strListName, list);
}

bool CZelRegKey::RemoveValueFromMultiString(const CZelString& strListName,
                                            const CZelString& strEntry) {
    std::vector<CZelString> list;
    if (!GetValue(strListName, list)) {
        return true;
    }
    std::vector<CZelString> kept;
    for (size_t i = 0; i < list.size(); ++i) {
        if (_wcsicmp(list[i], strEntry) != 0) {
            kept.push_back(list[i]);
        }
    }
    if (kept.size() < list.size()) {
        return SetValue(strListName, kept);
    }
    return true;
}

bool CZelRegKey::IsValueInMultiString(const CZelString& strListName, const CZelString& strEntry) {
    std::vector<CZelString> list;
    if (!GetValue(strListName, list)) {
        return false;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        if (_wcsicmp(list[i], strEntry) == 0) {
            return true;
        }
    }
    return false;
}

bool CZelRegKey::IsSubStringValueInMultiString(const CZelString& strListName,
                                               const CZelString& strText, CZelString& strFound) {
    CZelString strLowerText(strText);
    strLowerText.MakeLower();
    std::vector<CZelString> list;
    if (!GetValue(strListName, list)) {
        return false;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        CZelString strLowerEntry(list[i]);
        strLowerEntry.MakeLower();
        if (wcsstr(strLowerEntry, strLowerText) != NULL) {
            strFound = list[i];
            return true;
        }
    }
    return false;
}

bool CZelRegKey::EnumSubKey(CZelString& strName) {
    if (!m_bIsOpened) {
        return false;
    }
    WCHAR szName[kSubKeyNameChars];
    DWORD dwLength = kSubKeyNameChars;
    m_lLastResult =
        RegEnumKeyExW(m_hKey, m_dwEnumIndex++, szName, &dwLength, NULL, NULL, NULL, NULL);
    if (m_lLastResult == ERROR_NO_MORE_ITEMS) {
        m_dwEnumIndex = 0;  // the next call starts again from the first
        return false;
    }
    if (m_lLastResult != ERROR_SUCCESS) {
        return false;
    }
    strName = szName;
    return true;
}

bool CZelRegKey::EnumValue(CZelString& strName) {
    if (!m_bIsOpened) {
        return false;
    }
    WCHAR szName[kValueNameChars];
    DWORD dwLength = kValueNameChars;
    m_lLastResult =
        RegEnumValueW(m_hKey, m_dwEnumIndex++, szName, &dwLength, NULL, NULL, NULL, NULL);
    if (m_lLastResult == ERROR_NO_MORE_ITEMS) {
        m_dwEnumIndex = 0;
        return false;
    }
    if (m_lLastResult != ERROR_SUCCESS) {
        return false;
    }
    strName = szName;
    return true;
}

void CZelRegKey::ResetEnumeration() {
    m_dwEnumIndex = 0;
}

bool CZelRegKey::DeleteSubKey(const WCHAR* pszName) {
    if (!m_bIsOpened || pszName == NULL || pszName[0] == 0) {
        return false;
    }
    CZelRegKey subKey;
    if (!subKey.Open(m_hKey, pszName, false)) {
        return false;
    }
    for (;;) {
        WCHAR szChild[kSubKeyNameChars];
        DWORD dwLength = kSubKeyNameChars;
        if (RegEnumKeyExW(subKey.m_hKey, 0, szChild, &dwLength, NULL, NULL, NULL, NULL) !=
            ERROR_SUCCESS) {
            break;
        }
        if (!subKey.DeleteSubKey(szChild)) {
            return false;
        }
    }
    subKey.Close();
    return RegDeleteKeyW(m_hKey, pszName) == ERROR_SUCCESS;
}

LONG CZelRegKey::FlushKey() {
    CZelTraceScope scope(TEXT("CZelRegKey::FlushKey"));
    LONG lResult = RegFlushKey(m_hKey);
    if (lResult == ERROR_SUCCESS) {
        g_ZelDebug.Print(TEXT("CZelRegKey::RegFlushKey Success"));
    } else {
        g_ZelDebug.Print(TEXT("CZelRegKey::RegFlushKey Failed - error=%d"), lResult);
    }
    return lResult;
}
