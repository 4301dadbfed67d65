// COM in one process: apartments, process security, the class table that CoCreateInstance
// creates from, the global interface table, and the leak ledger.
//
// Apartments: a thread joins the multithreaded apartment (MTA) or a single-threaded one of its
// own with CoInitializeEx and leaves at its last CoUninitialize. A thread that never joined uses
// the MTA while any thread of the process is in it, as Windows' implicit MTA; a thread that ends
// without CoUninitialize keeps the MTA alive, as on Windows. Objects of this machine are
// free-threaded, so an apartment only decides whether a thread may use COM at all.
//
// The leak ledger counts, per process, the live objects made by ComObject, the BSTRs and the safe
// arrays. What the global interface table holds is reported apart: an object all of whose
// references the table holds is not a leak. All of this is process state, created on first use
// and never destroyed; Machine::Use does not reset it.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <wbemidl.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace sim {

class ComRuntime {
public:
    static ComRuntime& Get();

    // CoInitializeEx and CoUninitialize for the calling thread.
    HRESULT Enter(DWORD coInit);
    void Leave();
    // S_OK when the calling thread may use COM (its own apartment or the implicit MTA),
    // else CO_E_NOTINITIALIZED.
    HRESULT CheckApartment();

    // Once per process; RPC_E_TOO_LATE after that.
    HRESULT InitializeSecurity(DWORD authnLevel, DWORD impLevel, DWORD capabilities);

private:
    ComRuntime() = default;

    std::mutex m_lock;
    int m_mtaThreads = 0;  // threads in the MTA by their own CoInitializeEx
    bool m_securitySet = false;
};

// Which IID names an interface, for ComObject's QueryInterface. Specialised per interface.
template <class Interface>
struct InterfaceOf;

template <>
struct InterfaceOf<IUnknown> {
    static const IID& Id() { return IID_IUnknown; }
};
template <>
struct InterfaceOf<IGlobalInterfaceTable> {
    static const IID& Id() { return IID_IGlobalInterfaceTable; }
};
template <>
struct InterfaceOf<IClientSecurity> {
    static const IID& Id() { return IID_IClientSecurity; }
};
template <>
struct InterfaceOf<IWbemLocator> {
    static const IID& Id() { return IID_IWbemLocator; }
};
template <>
struct InterfaceOf<IWbemServices> {
    static const IID& Id() { return IID_IWbemServices; }
};
template <>
struct InterfaceOf<IWbemClassObject> {
    static const IID& Id() { return IID_IWbemClassObject; }
};
template <>
struct InterfaceOf<IEnumWbemClassObject> {
    static const IID& Id() { return IID_IEnumWbemClassObject; }
};
template <>
struct InterfaceOf<IWbemContext> {
    static const IID& Id() { return IID_IWbemContext; }
};

// The ledger's record of one live object: its reference count and its COM identity.
class LedgerEntry {
public:
    LedgerEntry(const LedgerEntry&) = delete;
    LedgerEntry& operator=(const LedgerEntry&) = delete;
    ULONG References() const { return m_references.load(); }
    const char* ClassName() const { return m_className; }
    IUnknown* Identity() const { return m_identity; }

protected:
    explicit LedgerEntry(const char* className) : m_className(className) {}
    virtual ~LedgerEntry();
    void Enter(IUnknown* identity);  // from the most derived constructor, once the object is whole
    ULONG AddReference() { return ++m_references; }
    ULONG DropReference() { return --m_references; }

private:
    const char* m_className;
    IUnknown* m_identity = nullptr;
    std::atomic<ULONG> m_references{1};
};

// A COM object of the machine implementing `Interfaces`: reference counted, freed at zero,
// answering QueryInterface for each of them and IUnknown, and counted by the ledger. Made with
// one reference, which `new` hands to the creator.
template <class First, class... Rest>
class ComObject : public First, public Rest..., public LedgerEntry {
public:
    explicit ComObject(const char* className) : LedgerEntry(className) {
        Enter(static_cast<IUnknown*>(static_cast<First*>(this)));
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        *ppvObject = Find(riid);
        if (*ppvObject == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = DropReference();
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    ~ComObject() override = default;

    // The interface pointer for `riid`, without a reference; null for none. Override to answer
    // for a base interface as well.
    virtual void* Find(REFIID riid) {
        if (riid == IID_IUnknown) {
            return static_cast<IUnknown*>(static_cast<First*>(this));
        }
        void* found = nullptr;
        Match<First>(riid, found);
        (Match<Rest>(riid, found), ...);
        return found;
    }

private:
    template <class Interface>
    void Match(REFIID riid, void*& found) {
        if (found == nullptr && riid == InterfaceOf<Interface>::Id()) {
            found = static_cast<Interface*>(this);
        }
    }
};

// What CoCreateInstance can make: class id to a function making an object and asking it for an
// interface. COM's own classes are there from the start; later parts of the machine add theirs.
class ClassTable {
public:
    using Factory = std::function<HRESULT(REFIID riid, void** ppv)>;

    static ClassTable& Get();

    void Add(REFCLSID clsid, Factory factory);
    void Remove(REFCLSID clsid);
    // REGDB_E_CLASSNOTREG for a class the machine does not have.
    HRESULT Create(REFCLSID clsid, REFIID riid, void** ppv);

private:
    ClassTable();

    struct Less {
        bool operator()(const CLSID& a, const CLSID& b) const {
            return memcmp(&a, &b, sizeof(CLSID)) < 0;
        }
    };
    std::mutex m_lock;
    std::map<CLSID, Factory, Less> m_classes;
};

// The process's one global interface table. Its own reference count is a constant, as Windows'
// is; each registration holds one reference on the object it names.
class GlobalInterfaceTable : public IGlobalInterfaceTable {
public:
    static GlobalInterfaceTable& Get();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid,
                                                        DWORD* pdwCookie) override;
    HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) override;
    HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid,
                                                     void** ppv) override;

    // Registrations by the COM identity of the object they hold.
    std::unordered_map<IUnknown*, size_t> HeldByIdentity();
    size_t Registrations();

private:
    GlobalInterfaceTable() = default;
    virtual ~GlobalInterfaceTable() = default;

    struct Entry {
        IUnknown* object;    // the registered interface, one reference
        IUnknown* identity;  // its IUnknown, no reference
    };
    std::mutex m_lock;
    std::map<DWORD, Entry> m_entries;
    DWORD m_nextCookie = 0x100;
};

struct LedgerSnapshot {
    size_t objects = 0;               // live objects held by something besides the table
    size_t globalTable = 0;           // registrations in the global interface table
    size_t strings = 0;               // live BSTRs
    size_t arrays = 0;                // live safe arrays
    size_t badFrees = 0;              // frees of a BSTR or array that was not live
    std::vector<std::string> leaked;  // class names of the `objects`, sorted
};

class LeakLedger {
public:
    static LeakLedger& Get();

    LedgerSnapshot Snapshot();

    // Appends the snapshot to the machine's com-ledger.jsonl.
    void WriteRecord();
    // Writes the record when the process ends, after its static objects are destroyed. Armed
    // also by the host environment variable TARVIK_COM_LEDGER at the first use of COM.
    void RecordAtExit() { m_recordAtExit = true; }
    bool RecordsAtExit() const { return m_recordAtExit; }

    void AddObject(LedgerEntry* entry);
    void RemoveObject(LedgerEntry* entry);
    void AddString(const void* string) { Add(m_strings, string); }
    // false (and counted as a bad free) when it was not live
    bool RemoveString(const void* string) { return Remove(m_strings, string); }
    void AddArray(const void* array) { Add(m_arrays, array); }
    bool RemoveArray(const void* array) { return Remove(m_arrays, array); }
    bool HasArray(const void* array) { return Has(m_arrays, array); }

private:
    LeakLedger();
    void Add(std::unordered_set<const void*>& live, const void* item);
    bool Remove(std::unordered_set<const void*>& live, const void* item);
    bool Has(const std::unordered_set<const void*>& live, const void* item);

    std::mutex m_lock;
    std::unordered_set<LedgerEntry*> m_objects;
    std::unordered_set<const void*> m_strings;
    std::unordered_set<const void*> m_arrays;
    size_t m_badFrees = 0;
    std::atomic<bool> m_recordAtExit{false};
};

}  // namespace sim
