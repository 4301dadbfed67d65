#include "TarvikWarnings.h"

#include "ZelBstr.h"
#include "ZelDebug.h"
#include "ZelScopedHandle.h"
#include "ZelString.h"
#include "ZelWMI.h"

#include <oleauto.h>

#include <new>
#include <utility>
#include <vector>

namespace {

const WCHAR kNamespace[] = TEXT("root\\orvexzel2");
const WCHAR kServiceClass[] = TEXT("Qubra_NetService");
const WCHAR kMethod[] = TEXT("GetTarvikWarnings");
const WCHAR kPathProperty[] = TEXT("__PATH");
const WCHAR kWarningsParameter[] = TEXT("WarningMessages");
const WCHAR kEventSource[] = TEXT("Orvex Tarvik Monitor");
const DWORD kEventId = 1;
// Bits 1, 2 and 4: what the provider is asked to leave out of its answer.
const DWORD kPartialSelector = 7;
const DWORD kUnsetSelector = 0xFFFFFFFF;
const DWORD kKeysOnly = 0x80;

void SetContextValue(IWbemContext* pIWbemContext, const WCHAR* pszName, VARTYPE vt, LONG nValue) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = vt;
    if (vt == VT_BOOL) {
        V_BOOL(&value) = nValue != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
        V_I4(&value) = nValue;
    }
    pIWbemContext->SetValue(pszName, 0, &value);
    VariantClear(&value);
}

}  // namespace

TarvikWarnings::TarvikWarnings()
    : GenericMonitor(), m_pIWbemService(), m_pGIT(), m_dwNetService(0), m_hEventLog(NULL) {}

TarvikWarnings::~TarvikWarnings() {
    bool bStopped = WaitForStop();
    if (!bStopped) {
        DebugTrace(TEXT("ERROR:  Unable to stop the monitor!"));
    }
    // A pass whose connection failed half-way keeps its namespace until here. A pass still
    // running may be using both interfaces: they are left to the process's end.
    if (bStopped) {
        m_pIWbemService.Reset();
        m_pGIT.Reset();
    } else {
        static_cast<void>(m_pIWbemService.Detach());
        static_cast<void>(m_pGIT.Detach());
    }
}

bool TarvikWarnings::SpawnThread() {
    return SpawnWorker(ThreadProc, TEXT("Exiting TarvikWarnings::SpawnThread()"));
}

DWORD WINAPI TarvikWarnings::ThreadProc(LPVOID pParameter) {
    TarvikWarnings* pMonitor = static_cast<TarvikWarnings*>(pParameter);
    if (pMonitor == NULL) {
        return 1;
    }
    pMonitor->DoMonitor();
    ExitThread(0);
    return 0;  // not reached
}

bool TarvikWarnings::DoMonitor() {
    SetState(MONITOR_RUNNING);
    if (!InitializeWMI()) {
        g_ZelDebug.Error(TEXT("Src\\TarvikWarnings"), 124,
                         TEXT("ERROR:  Unable to initialize WMI!"));
    } else {
        GetTarvikWarnings();
        UninitializeWMI();
    }
    SetState(MONITOR_STOPPED);
    return true;
}

bool TarvikWarnings::InitializeWMI() {
    DebugTrace(TEXT("Entering TarvikWarnings::InitializeWMI()"));
    bool bSuccess = false;
    CZelComPtr<IWbemLocator> pLocator;
    CZelComPtr<IEnumWbemClassObject> pEnum;
    CZelComPtr<IWbemClassObject> pNetService;
    m_pIWbemService.Reset();
    CZelBstr bstrNamespace(kNamespace);
    EnableAllPrivileges();
    do {
        // Never left: the worker ends soon after its one pass.
        HRESULT hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
        if (FAILED(hr)) {
            DebugTrace(TEXT("ERROR:  Unable to do CoInitializeEx."));
            break;
        }
        DebugTrace(TEXT("After CoInitializeEx()"));
        // The Hyper-V monitor may have set the process's security first.
        hr = CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_CONNECT,
                                  RPC_C_IMP_LEVEL_IMPERSONATE, NULL, EOAC_NONE, NULL);
        if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
            break;
        }
        DebugTrace(TEXT("After CoInitializeSecurity()"));
        hr = CoCreateInstance(CLSID_WbemLocator, NULL, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(pLocator.Receive()));
        if (FAILED(hr)) {
            DebugTrace(TEXT("ERROR:  Unable to do CoCreateInstance."));
            break;
        }
        DebugTrace(TEXT("After CoCreateInstance()"));
        hr = pLocator->ConnectServer(bstrNamespace.Get(), NULL, NULL, NULL, 0, NULL, NULL,
                                     m_pIWbemService.Receive());
        if (hr != WBEM_S_NO_ERROR) {
            break;
        }
        DebugTrace(TEXT("After ConnectServer()"));
        hr =
            CoSetProxyBlanket(m_pIWbemService.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, NULL,
                              RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, NULL, EOAC_NONE);
        if (FAILED(hr)) {
            DebugTrace(TEXT("ERROR:  Unable to set proxy blanket"));
            break;
        }
        DebugTrace(TEXT("After CoSetProxyBlanket()"));
        CZelBstr bstrClass(kServiceClass);
        hr = m_pIWbemService->CreateInstanceEnum(bstrClass.Get(), 0, NULL, pEnum.Receive());
        if (hr != WBEM_S_NO_ERROR) {
            // This way out has no exit line.
            DebugTrace(TEXT("pIWbemService->CreateInstanceEnum failed"));
            return false;
        }
        // The last instance enumerated is the service object.
        for (;;) {
            CZelComPtr<IWbemClassObject> pNext;
            ULONG uReturned = 0;
            hr = pEnum->Next(WBEM_INFINITE, 1, pNext.Receive(), &uReturned);
            if (hr != WBEM_S_NO_ERROR) {
                break;
            }
            pNetService = std::move(pNext);
        }
        MarshalNetService(pNetService.Get());
        pLocator.Reset();
        bSuccess = true;
        // The global interface table holds its own reference.
        pNetService.Reset();
    } while (false);
    pLocator.Reset();
    DebugTrace(TEXT("Exiting TarvikWarnings::InitializeWMI() bSuccess=%d"), bSuccess);
    pEnum.Reset();
    return bSuccess;
}

bool TarvikWarnings::UninitializeWMI() {
    DebugTrace(TEXT("Entering TarvikWarnings::UninitializeWMI()"));
    m_pIWbemService.Reset();
    DebugTrace(TEXT("Exiting TarvikWarnings::UninitializeWMI(),  bSuccess=%d"), 1);
    return true;
}

HRESULT TarvikWarnings::EnableAllPrivileges() {
    CZelKernelHandle hToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          hToken.Receive())) {
        return WBEM_E_ACCESS_DENIED;
    }
    // Only to learn the size the list needs.
    DWORD probe[2] = {};
    DWORD dwSize = 0;
    GetTokenInformation(hToken, TokenPrivileges, probe, sizeof(probe), &dwSize);
    BYTE* pBuffer = new (std::nothrow) BYTE[dwSize];
    if (pBuffer == NULL) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    if (!GetTokenInformation(hToken, TokenPrivileges, pBuffer, dwSize, &dwSize)) {
        delete[] pBuffer;
        return WBEM_E_ACCESS_DENIED;
    }
    TOKEN_PRIVILEGES* pPrivileges = reinterpret_cast<TOKEN_PRIVILEGES*>(pBuffer);
    LUID_AND_ATTRIBUTES* pEntries = pPrivileges->Privileges;
    for (DWORD i = 0; i < pPrivileges->PrivilegeCount; ++i) {
        pEntries[i].Attributes |= SE_PRIVILEGE_ENABLED;
    }
    BOOL bAdjusted = AdjustTokenPrivileges(hToken, FALSE, pPrivileges, 0, NULL, NULL);
    delete[] pBuffer;
    hToken.Reset();
    return bAdjusted ? WBEM_S_NO_ERROR : WBEM_E_ACCESS_DENIED;
}

HRESULT TarvikWarnings::MarshalNetService(IWbemClassObject* pNetService) {
    if (m_pGIT.Get() == NULL) {
        HRESULT hr =
            CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                             IID_IGlobalInterfaceTable, reinterpret_cast<void**>(m_pGIT.Receive()));
        if (FAILED(hr)) {
            DebugTrace(
                TEXT("MarshalNetService -> CoCreateInstance -> CLSID_StdGlobalInterfaceTable"));
            return hr;
        }
    }
    if (m_pGIT.Get() == NULL) {
        DebugTrace(
            TEXT("MarshalNetService -> CoCreateInstance -> CLSID_StdGlobalInterfaceTable -> NULL"));
        return E_FAIL;
    }
    // Never revoked: the registration lasts as long as the process.
    return m_pGIT->RegisterInterfaceInGlobal(pNetService, IID_IWbemClassObject, &m_dwNetService);
}

HRESULT TarvikWarnings::ChangeContext(IWbemContext* pIWbemContext, DWORD dwSelector) {
    DebugTrace(TEXT("Entering TarvikWarnings::ChangeContext()"));
    if (pIWbemContext == NULL) {
        DebugTrace(TEXT("Entering TarvikWarnings::ChangeContext()::pIWbemContext Error"));
        return WBEM_S_NO_ERROR;
    }
    // The provider reads these names without the leading underscores of WMI's own.
    if (dwSelector == kUnsetSelector) {
        DebugTrace(TEXT(" Unset Partial Retrieval!!"));
        SetContextValue(pIWbemContext, TEXT("GET_EXT_CLIENT_REQUEST"), VT_BOOL, 0);
        SetContextValue(pIWbemContext, TEXT("GET_EXTENSIONS"), VT_BOOL, 0);
        SetContextValue(pIWbemContext, TEXT("GET_EXT_KEYS_ONLY"), VT_BOOL, 0);
        SetContextValue(pIWbemContext, TEXT("Qubra_PartialData"), VT_I4, -1);
    } else {
        DebugTrace(TEXT("Setting for partial data!!"));
        SetContextValue(pIWbemContext, TEXT("GET_EXT_CLIENT_REQUEST"), VT_BOOL, 1);
        SetContextValue(pIWbemContext, TEXT("GET_EXTENSIONS"), VT_BOOL, 1);
        if ((dwSelector & kKeysOnly) != 0) {
            DebugTrace(TEXT("Keys only!!"));
            SetContextValue(pIWbemContext, TEXT("GET_EXT_KEYS_ONLY"), VT_BOOL, 1);
        } else {
            DebugTrace(TEXT("Else Partial Retrieval!!"));
            SetContextValue(pIWbemContext, TEXT("Qubra_PartialData"), VT_I4,
                            static_cast<LONG>(dwSelector));
        }
    }
    return WBEM_S_NO_ERROR;
}

bool TarvikWarnings::GetTarvikWarnings() {
    DebugTrace(TEXT("Entering TarvikWarnings::GetTarvikWarnings()"));
    if (m_hEventLog == NULL) {
        // A null handle is reported by the writer, once per warning.
        m_hEventLog = RegisterEventSourceW(NULL, kEventSource);
    }
    // Released when the poll returns.
    CZelComPtr<IWbemContext> pContext;
    CZelComPtr<IWbemClassObject> pClass;
    CZelComPtr<IWbemClassObject> pInSignature;
    CZelComPtr<IWbemClassObject> pOutSignature;
    CZelComPtr<IWbemClassObject> pOutParams;
    CZelComPtr<IWbemCallResult> pCallResult;
    CZelComPtr<IWbemClassObject> pNetService;
    std::vector<WarningMessage> messages;
    // Without a context the provider is asked for everything.
    CoCreateInstance(CLSID_WbemContext, NULL, CLSCTX_INPROC_SERVER, IID_IWbemContext,
                     reinterpret_cast<void**>(pContext.Receive()));
    do {
        CZelBstr bstrClass(kServiceClass);
        // Only a connected monitor polls; without a connection the class cannot be had either.
        HRESULT hr = WBEM_E_FAILED;
        if (m_pIWbemService.Get() != NULL) {
            hr = m_pIWbemService->GetObject(bstrClass.Get(), 0, pContext.Get(), pClass.Receive(),
                                            NULL);
        }
        if (hr != WBEM_S_NO_ERROR) {
            DebugTrace(TEXT("GetObject -> L_CLASS_QUBRA_CORESERVICE"));
            break;
        }
        if (pClass.Get() == NULL) {
            DebugTrace(TEXT("GetObject -> L_CLASS_QUBRA_CORESERVICE -> NULL"));
            break;
        }
        ChangeContext(pContext.Get(), kPartialSelector);
        hr = pClass->GetMethod(kMethod, 0, pInSignature.Receive(), pOutSignature.Receive());
        if (hr != WBEM_S_NO_ERROR) {
            DebugTrace(TEXT("GetMethod -> L_METHOD_GETALLWARNINGS"));
            break;
        }
        if (m_dwNetService == 0 || m_pGIT.Get() == NULL) {
            DebugTrace(TEXT("GetMethod -> m_dwNetService is 0"));
            break;
        }
        hr = m_pGIT->GetInterfaceFromGlobal(m_dwNetService, IID_IWbemClassObject,
                                            reinterpret_cast<void**>(pNetService.Receive()));
        if (hr != S_OK) {
            DebugTrace(TEXT("GetMethod -> GetInterfaceFromGlobal"));
            break;
        }
        CZelBstr bstrPath;
        bool bIsNull = false;
        hr = CZelWMI::GetPropertyAsString(pNetService.Get(), kPathProperty, bstrPath, bIsNull);
        DebugTrace(TEXT("%s"), bstrPath.Text());
        if (FAILED(hr)) {
            DebugTrace(TEXT("GetPropertyAsString -> pQubraService, L_QUBRA_PATH"));
            break;
        }
        CZelBstr bstrMethod(kMethod);
        hr = m_pIWbemService->ExecMethod(bstrPath.Get(), bstrMethod.Get(), 0, pContext.Get(),
                                         pInSignature.Get(), pOutParams.Receive(),
                                         pCallResult.Receive());
        if (hr != WBEM_S_NO_ERROR) {
            DebugTrace(TEXT("ExecMethod -> L_METHOD_GETALLWARNINGS"));
            break;
        }
        CZelString strParameter(kWarningsParameter);
        hr = CZelWMI::GetPropertyWarningMessages(pOutParams.Get(), strParameter, messages);
        if (hr != S_OK) {
            // Not even the warnings read before the failure are reported.
            DebugTrace(TEXT(
                "GetWarnings() - GetPropertyAsUINT64 failed -> pAdapter_OutParams, L_PARAM_ALLWARNINGS"));
            break;
        }
        for (size_t n = 0; n < messages.size(); ++n) {
            DebugTrace(TEXT("%s"), messages[n].MessageText.c_str());
            WriteEventLog(messages[n].MessageText.c_str());
        }
    } while (false);
    if (m_hEventLog != NULL) {
        DeregisterEventSource(m_hEventLog);
        m_hEventLog = NULL;
    }
    messages.clear();
    return true;
}

void TarvikWarnings::WriteEventLog(const WCHAR* pszText) {
    DebugTrace(TEXT("Create Event Log"));
    DebugTrace(TEXT("%s"), pszText);
    if (m_hEventLog == NULL) {
        DebugTrace(TEXT("RegisterEventSource failed with 0x%x.\n"), GetLastError());
    }
    LPCWSTR apszStrings[1] = {pszText};
    if (!ReportEventW(m_hEventLog, EVENTLOG_INFORMATION_TYPE, 0, kEventId, NULL, 1, 0, apszStrings,
                      NULL)) {
        DWORD dwError = GetLastError();
        DebugTrace(TEXT("ReportEvent failed with 0x%x for event 0x%x.\n"), dwError, kEventId);
    }
}
