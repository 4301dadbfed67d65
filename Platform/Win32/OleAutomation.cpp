#include <windows.h>

#include <oleauto.h>

#include "Machine/Com/Automation.h"
#include "Machine/Com/ComRuntime.h"
#include "Machine/Faults/Faults.h"

#include <cstdio>
#include <cwctype>

namespace {

constexpr ULONG kIgnoreCase = 0x00000001;  // NORM_IGNORECASE

char16_t Lower(char16_t c) {
    return c < 0x80 ? static_cast<char16_t>(std::towlower(c)) : c;
}

// Case-insensitive first, then lower case ahead of upper case: a linguistic order's outline.
int Compare(const OLECHAR* a, UINT lengthA, const OLECHAR* b, UINT lengthB, bool ignoreCase) {
    UINT common = lengthA < lengthB ? lengthA : lengthB;
    for (UINT i = 0; i < common; ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return Lower(a[i]) < Lower(b[i]) ? -1 : 1;
        }
    }
    if (lengthA != lengthB) {
        return lengthA < lengthB ? -1 : 1;
    }
    for (UINT i = 0; i < common && !ignoreCase; ++i) {
        if (a[i] != b[i]) {
            return a[i] > b[i] ? -1 : 1;
        }
    }
    return 0;
}

}  // namespace

BSTR WINAPI SysAllocString(const OLECHAR* psz) {
    DWORD error = 0;
    if (sim::InjectedFault("SysAllocString", &error) || psz == nullptr) {
        return nullptr;
    }
    UINT length = 0;
    while (psz[length] != 0) {
        ++length;
    }
    return sim::NewString(psz, length);
}

void WINAPI SysFreeString(BSTR bstrString) {
    DWORD error = 0;
    sim::InjectedFault("SysFreeString", &error);  // counted; it has no way to fail
    if (!sim::FreeString(bstrString)) {
        std::fprintf(stderr, "SysFreeString: %p is not a live BSTR of this process\n",
                     static_cast<void*>(bstrString));
    }
}

UINT WINAPI SysStringLen(BSTR pbstr) {
    return sim::StringLength(pbstr);
}

void WINAPI VariantInit(VARIANTARG* pvarg) {
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
    DWORD error = 0;
    if (sim::InjectedFault("VariantClear", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (pvarg == nullptr) {
        return E_INVALIDARG;
    }
    return sim::ClearVariant(pvarg);
}

SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    DWORD error = 0;
    if (sim::InjectedFault("SafeArrayCreateVector", &error)) {
        return nullptr;
    }
    return sim::NewVector(vt, lLbound, cElements);
}

HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    DWORD error = 0;
    if (sim::InjectedFault("SafeArrayGetLBound", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (psa == nullptr || plLbound == nullptr) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    // Bounds are stored last dimension first.
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    DWORD error = 0;
    if (sim::InjectedFault("SafeArrayGetUBound", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (psa == nullptr || plUbound == nullptr) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(bound.lLbound + static_cast<LONGLONG>(bound.cElements) - 1);
    return S_OK;
}

HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    DWORD error = 0;
    if (sim::InjectedFault("SafeArrayGetElement", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (psa == nullptr || rgIndices == nullptr || pv == nullptr) {
        return E_INVALIDARG;
    }
    return sim::GetElement(psa, rgIndices[0], pv);
}

HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    DWORD error = 0;
    if (sim::InjectedFault("SafeArrayPutElement", &error)) {
        return static_cast<HRESULT>(error);
    }
    VARTYPE vt = psa != nullptr ? sim::ArrayType(psa) : VARTYPE(VT_EMPTY);
    // A null string or interface is a value; a null pointer to anything else is not.
    bool nullAllowed = vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH;
    if (psa == nullptr || rgIndices == nullptr || (pv == nullptr && !nullAllowed)) {
        return E_INVALIDARG;
    }
    return sim::PutElement(psa, rgIndices[0], pv);
}

HRESULT WINAPI VarBstrCmp(BSTR bstrLeft, BSTR bstrRight, LCID lcid, ULONG dwFlags) {
    DWORD error = 0;
    if (sim::InjectedFault("VarBstrCmp", &error)) {
        return static_cast<HRESULT>(error);
    }
    UINT left = SysStringLen(bstrLeft);
    UINT right = SysStringLen(bstrRight);
    // A null BSTR is the empty string.
    if (left == 0 || right == 0) {
        return left == right ? VARCMP_EQ : left == 0 ? VARCMP_LT : VARCMP_GT;
    }
    int order;
    if (lcid == 0) {
        order = 0;
        for (UINT i = 0; i < left && i < right && order == 0; ++i) {
            order = bstrLeft[i] < bstrRight[i] ? -1 : bstrLeft[i] > bstrRight[i] ? 1 : 0;
        }
        if (order == 0 && left != right) {
            order = left < right ? -1 : 1;
        }
    } else {
        order = Compare(bstrLeft, left, bstrRight, right, (dwFlags & kIgnoreCase) != 0);
    }
    return order < 0 ? VARCMP_LT : order > 0 ? VARCMP_GT : VARCMP_EQ;
}

// OLEAUT32.DLL's export that turns its string cache off; found through GetProcAddress. The
// machine keeps no cache of freed strings, so there is nothing to turn off.
void WINAPI SetOaNoCache(void) {
    DWORD error = 0;
    sim::InjectedFault("SetOaNoCache", &error);  // counted; it has no way to fail
}
