// TarvikWarnings: the monitor that, once per start after an orderly shutdown, asks the management
// provider for its configuration warnings and writes each to the event log. One start gives one
// pass: connect, poll, disconnect; the worker never looks at a stop request.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <wbemidl.h>

#include "GenericMonitor.h"
#include "ZelComPtr.h"

class TarvikWarnings : public GenericMonitor {
public:
    TarvikWarnings();
    virtual ~TarvikWarnings();

    virtual bool SpawnThread();

    // The worker's one pass. Always true.
    bool DoMonitor();

    // Joins the multithreaded apartment, connects to the provider's namespace and registers its
    // service object (the last instance enumerated) in the global interface table.
    bool InitializeWMI();
    bool UninitializeWMI();
    // 0, WBEM_E_ACCESS_DENIED or WBEM_E_OUT_OF_MEMORY.
    HRESULT EnableAllPrivileges();
    HRESULT MarshalNetService(IWbemClassObject* pNetService);
    // Sets the partial-retrieval values the provider reads; `dwSelector` 0xFFFFFFFF unsets them.
    // Always 0.
    HRESULT ChangeContext(IWbemContext* pIWbemContext, DWORD dwSelector);
    // The poll. True on every path.
    bool GetTarvikWarnings();
    // Reports `pszText` as an information event of the monitor's source; failures are traced.
    void WriteEventLog(const WCHAR* pszText);

protected:
    CZelComPtr<IWbemServices> m_pIWbemService;  // the provider's namespace; null when not connected
    CZelComPtr<IGlobalInterfaceTable> m_pGIT;   // created on first need, released by the destructor
    DWORD m_dwNetService;                       // the service object's cookie in m_pGIT; 0 for none
    HANDLE m_hEventLog;                         // the registered event source during a poll

private:
    static DWORD WINAPI ThreadProc(LPVOID pParameter);
};
