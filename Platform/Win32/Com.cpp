#include <windows.h>

#include <objbase.h>

#include "Machine/Com/ComRuntime.h"
#include "Machine/Faults/Faults.h"

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    DWORD error = 0;
    if (sim::InjectedFault("CoInitializeEx", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    return sim::ComRuntime::Get().Enter(dwCoInit);
}

void WINAPI CoUninitialize(void) {
    DWORD error = 0;
    if (sim::InjectedFault("CoUninitialize", &error)) {
        return;  // nothing to report: the thread simply stays in its apartment
    }
    sim::ComRuntime::Get().Leave();
}

HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                    SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void* pReserved1,
                                    DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                                    DWORD dwCapabilities, void* pReserved3) {
    (void)pSecDesc;
    (void)pAuthList;
    DWORD error = 0;
    if (sim::InjectedFault("CoInitializeSecurity", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (pReserved1 != nullptr || pReserved3 != nullptr || cAuthSvc < -1 ||
        (cAuthSvc > 0 && asAuthSvc == nullptr)) {
        return E_INVALIDARG;
    }
    HRESULT hr = sim::ComRuntime::Get().CheckApartment();
    if (FAILED(hr)) {
        return hr;
    }
    return sim::ComRuntime::Get().InitializeSecurity(dwAuthnLevel, dwImpLevel, dwCapabilities);
}

HRESULT WINAPI CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                                 OLECHAR* pServerPrincName, DWORD dwAuthnLevel, DWORD dwImpLevel,
                                 RPC_AUTH_IDENTITY_HANDLE pAuthInfo, DWORD dwCapabilities) {
    DWORD error = 0;
    if (sim::InjectedFault("CoSetProxyBlanket", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (pProxy == nullptr) {
        return E_INVALIDARG;
    }
    // Only a proxy has a blanket: an object in this process answers E_NOINTERFACE.
    IClientSecurity* security = nullptr;
    HRESULT hr = pProxy->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&security));
    if (FAILED(hr)) {
        return hr;
    }
    hr = security->SetBlanket(pProxy, dwAuthnSvc, dwAuthzSvc, pServerPrincName, dwAuthnLevel,
                              dwImpLevel, pAuthInfo, dwCapabilities);
    security->Release();
    return hr;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv) {
    DWORD error = 0;
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (sim::InjectedFault("CoCreateInstance", &error)) {
        return static_cast<HRESULT>(error);
    }
    HRESULT hr = sim::ComRuntime::Get().CheckApartment();
    if (FAILED(hr)) {
        return hr;
    }
    // Every class of this machine is an in-process server that does not aggregate.
    if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    if (pUnkOuter != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    return sim::ClassTable::Get().Create(rclsid, riid, ppv);
}
