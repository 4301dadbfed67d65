// HyperVMonitor: the monitor that keeps the teaming driver told which VM interfaces sit on each
// adapter team's virtual switch. HyperVMonitor.cpp holds its life, COM set-up, worker loop and
// event wait, the trace dump and the notification of the driver; HyperVMonitorDiscovery.cpp
// holds one update pass: the teams bound to Hyper-V external ports and the VMs on their switches.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include "GenericMonitor.h"
#include "TeamedAdapter.h"
#include "VirtualMachine.h"
#include "ZelBstr.h"
#include "ZelComPtr.h"
#include "ZelPointerArray.h"
#include "ZelString.h"

#include <vector>

// The worker's thread procedure; its parameter is the monitor.
DWORD WINAPI HyperVMonitorThreadProc(LPVOID pParameter);

class HyperVMonitor : public GenericMonitor {
public:
    HyperVMonitor();
    virtual ~HyperVMonitor();
    virtual bool SpawnThread();

    // The worker: an initial pass until every team reached the driver, then one pass per change
    // event until stopped or "HVMonTimeout" reads 0. Always true.
    bool DoMonitor();

    void DumpTeams(CZelPointerArray<TeamedAdapter*>* pTeams);
    bool WriteUpdateToBRX(TeamedAdapter* pTeam);

protected:
    // The WMI class names one association walk steps through, held as BSTRs. Copies are deep, so
    // every step of a walk owns the chain it was given. The filling constructors delegate, so a
    // chain left half built by an exception is still destroyed and its strings freed.
    class ClassChain {
    public:
        ClassChain() {}
        template <size_t N>
        explicit ClassChain(const WCHAR* const (&ppszClasses)[N]) : ClassChain() {
            m_Classes.reserve(N);
            for (size_t i = 0; i < N; ++i) {
                Add(ppszClasses[i]);
            }
        }
        ClassChain(const ClassChain& other);
        ClassChain& operator=(const ClassChain& other);
        ~ClassChain() { Clear(); }

        void Add(const WCHAR* pszClass);
        DWORD Count() const { return static_cast<DWORD>(m_Classes.size()); }
        BSTR At(DWORD dwStep) const { return m_Classes[dwStep]; }
        void Clear();

    private:
        std::vector<BSTR> m_Classes;
    };

    // The process's multithreaded apartment and process-wide security, set up on the thread that
    // builds the monitor (the main thread, before main); the worker uses that apartment.
    bool InitializeCOM();
    bool UninitializeCOM();

    bool IsHyperVServicePresent();
    // Connects m_pIWbemService to the virtualization namespace of this system's Hyper-V model.
    bool InitializeWMI();
    bool UninitializeWMI();
    // Subscribes to changes of the Hyper-V configuration and waits in 5-second slices; true when
    // an event arrived, false on a stop request or a failure.
    bool WaitForChangeEvent();

    // One update pass: the current teams against m_Teams, every difference told to the driver.
    // False only when the port query could not run.
    bool CheckForTeamUpdates();
    // CheckForTeamUpdates for the worker: an allocation failure ends the pass, not the process.
    bool RunUpdatePass();
    // On true strGUID has become the adapter's network device interface name.
    bool IsOrvexTeam(CZelString& strGUID);
    // The teaming protocol has a configuration of its own for the adapter (a team member).
    bool IsBoundToTeam(CZelString strGUID);
    // Some adapter's binding list names the adapter (a team's virtual adapter).
    bool IsTeamInstance(CZelString strGUID);

    // The VMs on the switch of the external port at strPath; the array is emptied first.
    bool PopulateVirtualMachines(CZelString& strPath,
                                 CZelPointerArray<VirtualMachine*>* pVirtualMachines);
    // One step of the walk: the objects of the chain's step class associated with strPath, each
    // followed by the next step; the last step's VMs are appended to the array.
    bool GetAssociators(CZelString& strPath, ClassChain chain, DWORD dwStep, int nVlanID,
                        CZelPointerArray<VirtualMachine*>* pVirtualMachines, CZelString* pstrMAC);
    // One step of a walk to the access VLAN id; each settings object reached overwrites it.
    bool GetVlanID(CZelString& strPath, CZelString strTargetInstanceID, ClassChain chain,
                   DWORD dwStep, int* pnVlanID);
    // An empty or null value succeeds and leaves the string as it was, and gives 0 for the
    // integer.
    bool GetPropertyString(IWbemClassObject* pObj, const WCHAR* pszName, CZelString* pstrValue);
    bool GetPropertyInt(IWbemClassObject* pObj, const WCHAR* pszName, int* pnValue);

    CZelPointerArray<TeamedAdapter*> m_Teams;  // the previous pass's snapshot
    bool m_bCOMInitialized;                    // this object's CoInitializeEx succeeded
    // The virtualization namespace; null when not connected.
    CZelComPtr<IWbemServices> m_pIWbemService;
    bool m_bTeamsInitialized;  // every team of a first pass reached the driver

private:
    // The query "ASSOCIATORS OF {path} WHERE  ResultClass=class", into `pQuery`; left empty when
    // it cannot be allocated.
    static void AssociatorsQuery(const CZelString& strPath, BSTR bstrClass, CZelBstr* pQuery);
    // Runs a WQL data query as every pass does (forward only, returning at once).
    HRESULT ExecQuery(BSTR bstrQuery, IEnumWbemClassObject** ppEnum);
    // The enumerator's next object, fetched one at a time without a time-out; null once it has
    // no more or fails. The object is the caller's to release.
    static IWbemClassObject* NextObject(IEnumWbemClassObject* pEnum);
};
