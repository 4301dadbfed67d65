// CZelWMI: reading properties of WMI objects: a string property, and the management provider's
// array of warnings as WarningMessage records.
#pragma once

#include <windows.h>

#include <wbemidl.h>

#include "ZelBstr.h"
#include "ZelString.h"

#include <vector>

// One warning of the management provider. A field whose property is missing, empty or null keeps
// its default.
struct WarningMessage {
    WarningMessage() : ErrorCode(0), MessageType(0), MessageAction(0), reserved(0) {}

    // Carried with the record; nothing fills or reads them.
    std::vector<CZelString> Strings1;
    std::vector<CZelString> Strings2;
    LONG ErrorCode;
    CZelString MessageText;
    LONG MessageType;
    LONG MessageAction;
    LONG reserved;
    CZelString reserved2;
};

class __declspec(dllexport) CZelWMI {
public:
    // Appends one record per embedded object of the array property `strName` to `messages`.
    // The result is that of the last property read of the last element (or of fetching it), so a
    // last element lacking "reserved2" fails the whole call; an empty array gives S_OK.
    static HRESULT GetPropertyWarningMessages(IWbemClassObject* pIWbemClassObject,
                                              CZelString& strName,
                                              std::vector<WarningMessage>& messages);
    // The string property `bstrName` into `bstrValue` (empty unless a string was read);
    // `bIsNull` is true for a null or empty property, and for a null object (E_FAIL).
    static HRESULT GetPropertyAsString(IWbemClassObject* pInstance, CZelBstr& bstrName,
                                       CZelBstr& bstrValue, bool& bIsNull);
    // The same with the name as plain text, which is all IWbemClassObject::Get needs.
    static HRESULT GetPropertyAsString(IWbemClassObject* pInstance, const WCHAR* pszName,
                                       CZelBstr& bstrValue, bool& bIsNull);
};
