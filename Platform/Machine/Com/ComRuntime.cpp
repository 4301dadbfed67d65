#include "Machine/Com/ComRuntime.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"
#include "Machine/Wmi/Wmi.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace sim {

namespace {

// The calling thread's apartment: how many CoInitializeEx calls it has not yet undone, and how.
thread_local int t_initializations = 0;
thread_local DWORD t_model = COINIT_MULTITHREADED;

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;

void ArmLedgerFromEnvironment() {
    const char* value = std::getenv("TARVIK_COM_LEDGER");
    if (value != nullptr && *value != '\0') {
        LeakLedger::Get().RecordAtExit();
    }
}

}  // namespace

ComRuntime& ComRuntime::Get() {
    static ComRuntime* runtime = new ComRuntime();
    return *runtime;
}

HRESULT ComRuntime::Enter(DWORD coInit) {
    DWORD model = coInit & kModelMask;
    if (t_initializations > 0) {
        if (model != t_model) {
            return RPC_E_CHANGED_MODE;
        }
        ++t_initializations;
        return S_FALSE;
    }
    static std::once_flag armed;
    std::call_once(armed, ArmLedgerFromEnvironment);
    t_model = model;
    t_initializations = 1;
    if (model == COINIT_MULTITHREADED) {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_mtaThreads;
    }
    return S_OK;
}

void ComRuntime::Leave() {
    if (t_initializations == 0 || --t_initializations > 0) {
        return;
    }
    if (t_model == COINIT_MULTITHREADED) {
        std::lock_guard<std::mutex> hold(m_lock);
        --m_mtaThreads;
    }
}

HRESULT ComRuntime::CheckApartment() {
    if (t_initializations > 0) {
        return S_OK;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    return m_mtaThreads > 0 ? S_OK : CO_E_NOTINITIALIZED;
}

HRESULT ComRuntime::InitializeSecurity(DWORD authnLevel, DWORD impLevel, DWORD capabilities) {
    if (authnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || impLevel > RPC_C_IMP_LEVEL_DELEGATE) {
        return E_INVALIDARG;
    }
    (void)capabilities;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_securitySet) {
        return RPC_E_TOO_LATE;
    }
    m_securitySet = true;
    return S_OK;
}

// --- class table ---

ClassTable& ClassTable::Get() {
    static ClassTable* table = new ClassTable();
    return *table;
}

ClassTable::ClassTable() {
    m_classes[CLSID_StdGlobalInterfaceTable] = [](REFIID riid, void** ppv) {
        return GlobalInterfaceTable::Get().QueryInterface(riid, ppv);
    };
}

void ClassTable::Add(REFCLSID clsid, Factory factory) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_classes[clsid] = std::move(factory);
}

void ClassTable::Remove(REFCLSID clsid) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_classes.erase(clsid);
}

HRESULT ClassTable::Create(REFCLSID clsid, REFIID riid, void** ppv) {
    Factory factory;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_classes.find(clsid);
        if (found != m_classes.end()) {
            factory = found->second;
        }
    }
    if (!factory) {
        return CreateWmiObject(clsid, riid, ppv);  // the classes the machine's WMI registers
    }
    return factory(riid, ppv);
}

// --- global interface table ---

GlobalInterfaceTable& GlobalInterfaceTable::Get() {
    static GlobalInterfaceTable* table = new GlobalInterfaceTable();
    return *table;
}

HRESULT GlobalInterfaceTable::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IGlobalInterfaceTable) {
        *ppvObject = static_cast<IGlobalInterfaceTable*>(this);
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

HRESULT GlobalInterfaceTable::RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid,
                                                        DWORD* pdwCookie) {
    DWORD error = 0;
    if (InjectedFault("RegisterInterfaceInGlobal", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (pUnk == nullptr || pdwCookie == nullptr) {
        return E_INVALIDARG;
    }
    // The table holds the interface asked for, as marshalling it would.
    IUnknown* object = nullptr;
    HRESULT hr = pUnk->QueryInterface(riid, reinterpret_cast<void**>(&object));
    if (FAILED(hr)) {
        return hr;
    }
    IUnknown* identity = nullptr;
    if (SUCCEEDED(pUnk->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)))) {
        identity->Release();
    }
    std::lock_guard<std::mutex> hold(m_lock);
    DWORD cookie = m_nextCookie++;
    m_entries[cookie] = Entry{object, identity};
    *pdwCookie = cookie;
    return S_OK;
}

HRESULT GlobalInterfaceTable::RevokeInterfaceFromGlobal(DWORD dwCookie) {
    DWORD error = 0;
    if (InjectedFault("RevokeInterfaceFromGlobal", &error)) {
        return static_cast<HRESULT>(error);
    }
    IUnknown* object = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_entries.find(dwCookie);
        if (found == m_entries.end()) {
            return E_INVALIDARG;
        }
        object = found->second.object;
        m_entries.erase(found);
    }
    // Outside the lock: the release may destroy the object, which may use the table.
    object->Release();
    return S_OK;
}

HRESULT GlobalInterfaceTable::GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) {
    DWORD error = 0;
    if (InjectedFault("GetInterfaceFromGlobal", &error)) {
        return static_cast<HRESULT>(error);
    }
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    IUnknown* object = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_entries.find(dwCookie);
        if (found == m_entries.end()) {
            return E_INVALIDARG;
        }
        object = found->second.object;
        object->AddRef();  // keeps it alive should another thread revoke meanwhile
    }
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

std::unordered_map<IUnknown*, size_t> GlobalInterfaceTable::HeldByIdentity() {
    std::unordered_map<IUnknown*, size_t> held;
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& entry : m_entries) {
        ++held[entry.second.identity];
    }
    return held;
}

size_t GlobalInterfaceTable::Registrations() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_entries.size();
}

// --- the leak ledger ---

LedgerEntry::~LedgerEntry() {
    LeakLedger::Get().RemoveObject(this);
}

void LedgerEntry::Enter(IUnknown* identity) {
    m_identity = identity;
    LeakLedger::Get().AddObject(this);
}

LeakLedger::LeakLedger() = default;

LeakLedger& LeakLedger::Get() {
    static LeakLedger* ledger = new LeakLedger();
    return *ledger;
}

void LeakLedger::AddObject(LedgerEntry* entry) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_objects.insert(entry);
}

void LeakLedger::RemoveObject(LedgerEntry* entry) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_objects.erase(entry);
}

void LeakLedger::Add(std::unordered_set<const void*>& live, const void* item) {
    std::lock_guard<std::mutex> hold(m_lock);
    live.insert(item);
}

bool LeakLedger::Remove(std::unordered_set<const void*>& live, const void* item) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (live.erase(item) == 0) {
        ++m_badFrees;
        return false;
    }
    return true;
}

bool LeakLedger::Has(const std::unordered_set<const void*>& live, const void* item) {
    std::lock_guard<std::mutex> hold(m_lock);
    return live.count(item) != 0;
}

LedgerSnapshot LeakLedger::Snapshot() {
    // The table first: its lock is never taken inside the ledger's.
    std::unordered_map<IUnknown*, size_t> held = GlobalInterfaceTable::Get().HeldByIdentity();
    LedgerSnapshot snapshot;
    snapshot.globalTable = GlobalInterfaceTable::Get().Registrations();
    std::lock_guard<std::mutex> hold(m_lock);
    for (LedgerEntry* entry : m_objects) {
        ULONG references = entry->References();
        auto found = held.find(entry->Identity());
        size_t byTable = found == held.end() ? 0 : found->second;
        if (references > byTable) {
            ++snapshot.objects;
            snapshot.leaked.push_back(entry->ClassName());
        }
    }
    std::sort(snapshot.leaked.begin(), snapshot.leaked.end());
    snapshot.strings = m_strings.size();
    snapshot.arrays = m_arrays.size();
    snapshot.badFrees = m_badFrees;
    return snapshot;
}

void LeakLedger::WriteRecord() {
    LedgerSnapshot snapshot = Snapshot();
    std::string leaked = "[";
    for (size_t i = 0; i < snapshot.leaked.size(); ++i) {
        leaked += (i ? "," : "") + JsonLine::Quote(snapshot.leaked[i]);
    }
    leaked += "]";
    JsonLine record;
    record.Add("process", static_cast<long long>(GetCurrentProcessId()))
        .Add("objects", static_cast<long long>(snapshot.objects))
        .Add("globalTable", static_cast<long long>(snapshot.globalTable))
        .Add("strings", static_cast<long long>(snapshot.strings))
        .Add("arrays", static_cast<long long>(snapshot.arrays))
        .Add("badFrees", static_cast<long long>(snapshot.badFrees))
        .AddRaw("leaked", leaked);
    Machine::Get().AppendRecord("com-ledger.jsonl", record.Text());
}

namespace {

// Runs after the program's static destructors (the main program's destructors run from the
// exit handler the loader registered before any of them), so that what they release counts.
__attribute__((destructor)) void WriteLedgerAtExit() {
    if (LeakLedger::Get().RecordsAtExit() && Machine::Exists()) {
        LeakLedger::Get().WriteRecord();
    }
}

}  // namespace

}  // namespace sim
