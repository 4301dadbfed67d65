#include "ZelWMI.h"

#include "ZelComPtr.h"
#include "ZelDebug.h"

#include <oleauto.h>

namespace {

// The provider sends its warnings as embedded objects; automation hands those out as IUnknown
// (or IDispatch) elements.
bool IsObjectArray(const VARIANT& value) {
    return V_VT(&value) == (VT_ARRAY | VT_UNKNOWN) || V_VT(&value) == (VT_ARRAY | VT_DISPATCH);
}

bool HasValue(const VARIANT& value) {
    return V_VT(&value) != VT_EMPTY && V_VT(&value) != VT_NULL;
}

// Reads one integer property into `nField`; other value types leave the field as it was.
HRESULT ReadInteger(IWbemClassObject* pObject, const WCHAR* pszName, LONG& nField) {
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = pObject->Get(pszName, 0, &value, NULL, NULL);
    if (SUCCEEDED(hr) && HasValue(value)) {
        switch (V_VT(&value)) {
            case VT_I4:
                nField = V_I4(&value);
                break;
            case VT_I2:
                nField = V_I2(&value);
                break;
            case VT_UI1:
                nField = V_UI1(&value);
                break;
            default:
                break;
        }
    }
    VariantClear(&value);
    return hr;
}

// Reads one string property into `strField`; a null string is the empty one.
HRESULT ReadString(IWbemClassObject* pObject, const WCHAR* pszName, CZelString& strField) {
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = pObject->Get(pszName, 0, &value, NULL, NULL);
    if (SUCCEEDED(hr) && V_VT(&value) == VT_BSTR) {
        strField = V_BSTR(&value) != NULL ? V_BSTR(&value) : TEXT("");
    }
    VariantClear(&value);
    return hr;
}

// One element of the array as a record appended to `messages`; the result is that of the last
// property read, or the failure to fetch the element (which is then skipped).
HRESULT ReadWarning(SAFEARRAY* pArray, LONG nIndex, std::vector<WarningMessage>& messages) {
    CZelComPtr<IUnknown> pElement;
    HRESULT hr = SafeArrayGetElement(pArray, &nIndex, pElement.Receive());
    if (FAILED(hr)) {
        return hr;
    }
    if (pElement.Get() == NULL) {
        return WBEM_E_INVALID_OBJECT;
    }
    CZelComPtr<IWbemClassObject> pWarning;
    hr = pElement->QueryInterface(IID_IWbemClassObject,
                                  reinterpret_cast<void**>(pWarning.Receive()));
    pElement.Reset();
    if (FAILED(hr)) {
        return hr;
    }
    WarningMessage message;
    hr = ReadInteger(pWarning.Get(), TEXT("ErrorCode"), message.ErrorCode);
    hr = ReadString(pWarning.Get(), TEXT("MessageText"), message.MessageText);
    hr = ReadInteger(pWarning.Get(), TEXT("MessageType"), message.MessageType);
    hr = ReadInteger(pWarning.Get(), TEXT("MessageAction"), message.MessageAction);
    hr = ReadInteger(pWarning.Get(), TEXT("reserved"), message.reserved);
    hr = ReadString(pWarning.Get(), TEXT("reserved2"), message.reserved2);
    messages.push_back(message);
    return hr;
}

}  // namespace

HRESULT CZelWMI::GetPropertyWarningMessages(IWbemClassObject* pIWbemClassObject,
                                            CZelString& strName,
                                            std::vector<WarningMessage>& messages) {
    CZelTraceScope scope(TEXT("CZelWMI::GetPropertyWarningMessages"));
    HRESULT hr = E_FAIL;
    if (pIWbemClassObject == NULL) {
        g_ZelDebug.Print(TEXT("GetPropertyWarningMessages() -> pIWbemClassObject == NULL"));
        return hr;
    }
    VARIANT value;
    VariantInit(&value);
    hr = pIWbemClassObject->Get(strName.c_str(), 0, &value, NULL, NULL);
    if (FAILED(hr)) {
        g_ZelDebug.Print(TEXT("GetPropertyWarningMessages() - pIWbemClassObject->Get() failed!"));
        VariantClear(&value);
        return hr;
    }
    if (!HasValue(value)) {
        g_ZelDebug.Print(TEXT("GetPropertyWarningMessages -> invalid data returned!!"));
        VariantClear(&value);
        return E_FAIL;
    }
    // Any other kind of value counts as no array at all.
    SAFEARRAY* pArray = IsObjectArray(value) ? V_ARRAY(&value) : NULL;
    if (pArray == NULL) {
        g_ZelDebug.Print(TEXT("GetPropertyWarningMessages -> invalid array returned!!"));
        VariantClear(&value);
        return E_FAIL;
    }
    LONG nLower = 0;
    LONG nUpper = 0;
    hr = SafeArrayGetLBound(pArray, 1, &nLower);
    if (FAILED(hr)) {
        g_ZelDebug.Print(
            TEXT("GetPropertyWarningMessages -> call to SafeArrayGetLBound() failed!!"));
        VariantClear(&value);
        return hr;
    }
    hr = SafeArrayGetUBound(pArray, 1, &nUpper);
    if (FAILED(hr)) {
        g_ZelDebug.Print(
            TEXT("GetPropertyWarningMessages -> call to SafeArrayGetUBound() failed!!"));
        VariantClear(&value);
        return hr;
    }
    if (nUpper == -1) {
        g_ZelDebug.Print(TEXT("GetPropertyWarningMessages -> SafeArray is empty!!"));
        VariantClear(&value);
        return S_OK;
    }
    // The bounds compare as unsigned numbers; an upper bound of -1 has left above, so the index
    // cannot wrap.
    for (DWORD dwIndex = static_cast<DWORD>(nLower); dwIndex <= static_cast<DWORD>(nUpper);
         ++dwIndex) {
        hr = ReadWarning(pArray, static_cast<LONG>(dwIndex), messages);
    }
    VariantClear(&value);
    return hr;
}

HRESULT CZelWMI::GetPropertyAsString(IWbemClassObject* pInstance, CZelBstr& bstrName,
                                     CZelBstr& bstrValue, bool& bIsNull) {
    return GetPropertyAsString(pInstance, bstrName.Text(), bstrValue, bIsNull);
}

HRESULT CZelWMI::GetPropertyAsString(IWbemClassObject* pInstance, const WCHAR* pszName,
                                     CZelBstr& bstrValue, bool& bIsNull) {
    CZelTraceScope scope(TEXT("CZelWMI::GetPropertyAsString"));
    bIsNull = true;
    bstrValue.Empty();
    HRESULT hr = E_FAIL;
    if (pInstance == NULL) {
        g_ZelDebug.Print(TEXT("GetPropertyAsString -> pInstance == NULL"));
        return hr;
    }
    bIsNull = false;
    VARIANT value;
    VariantInit(&value);
    hr = pInstance->Get(pszName, 0, &value, NULL, NULL);
    if (SUCCEEDED(hr) && hr != WBEM_S_NO_MORE_DATA) {
        if (!HasValue(value)) {
            bIsNull = true;
        } else if (V_VT(&value) == VT_BSTR && V_BSTR(&value) != NULL) {
            if (!bstrValue.Assign(V_BSTR(&value))) {
                hr = E_OUTOFMEMORY;
            }
        }
    }
    VariantClear(&value);
    return hr;
}
