// WMI values as a provider hands them over, and the security blanket a connection carries.
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <wbemidl.h>

#include <vector>

namespace test {

// A VARIANT of `type`: a copy of `text` for VT_BSTR, else `number`.
inline VARIANT Value(VARTYPE type, LONG number = 0, const WCHAR* text = nullptr) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = type;
    if (type == VT_BSTR) {
        V_BSTR(&value) = SysAllocString(text);
    } else {
        V_I4(&value) = number;
    }
    return value;
}

// A proxy's authentication and authorization services, level, impersonation and capabilities.
inline std::vector<DWORD> BlanketOf(IUnknown* proxy) {
    DWORD blanket[5] = {};
    IClientSecurity* pSecurity = NULL;
    if (proxy->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&pSecurity)) != S_OK) {
        return {};
    }
    pSecurity->QueryBlanket(proxy, &blanket[0], &blanket[1], NULL, &blanket[2], &blanket[3], NULL,
                            &blanket[4]);
    pSecurity->Release();
    return std::vector<DWORD>(blanket, blanket + 5);
}

// The process's own identity at call level, impersonating.
inline std::vector<DWORD> CallLevelBlanket() {
    return {RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, RPC_C_AUTHN_LEVEL_CALL,
            RPC_C_IMP_LEVEL_IMPERSONATE, EOAC_NONE};
}

}  // namespace test
