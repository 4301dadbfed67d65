// The COM objects of the machine's WMI: the locator, a namespace's services, class objects,
// their enumerators (query results and event subscriptions) and call contexts. Each is a
// ComObject, so the leak ledger counts it. The calls a client of this machine makes do their job;
// the rest of each interface answers WBEM_E_NOT_SUPPORTED, as a provider that lacks them does.
#pragma once

#include "Machine/Com/ComRuntime.h"
#include "Machine/Wmi/Wmi.h"
#include "Machine/Wmi/Wql.h"

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#define SIM_WMI_NOT_SUPPORTED(name, ...)                   \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
        return WBEM_E_NOT_SUPPORTED;                       \
    }

// What neither class object of this machine answers: everything but Get, InheritsFrom and
// GetMethod.
#define SIM_WMI_CLASS_OBJECT_NOT_SUPPORTED                                                 \
    SIM_WMI_NOT_SUPPORTED(GetQualifierSet, IWbemQualifierSet**)                            \
    SIM_WMI_NOT_SUPPORTED(Put, LPCWSTR, LONG, VARIANT*, CIMTYPE)                           \
    SIM_WMI_NOT_SUPPORTED(Delete, LPCWSTR)                                                 \
    SIM_WMI_NOT_SUPPORTED(GetNames, LPCWSTR, LONG, VARIANT*, SAFEARRAY**)                  \
    SIM_WMI_NOT_SUPPORTED(BeginEnumeration, LONG)                                          \
    SIM_WMI_NOT_SUPPORTED(Next, LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*)                    \
    SIM_WMI_NOT_SUPPORTED(EndEnumeration)                                                  \
    SIM_WMI_NOT_SUPPORTED(GetPropertyQualifierSet, LPCWSTR, IWbemQualifierSet**)           \
    SIM_WMI_NOT_SUPPORTED(Clone, IWbemClassObject**)                                       \
    SIM_WMI_NOT_SUPPORTED(GetObjectText, LONG, BSTR*)                                      \
    SIM_WMI_NOT_SUPPORTED(SpawnDerivedClass, LONG, IWbemClassObject**)                     \
    SIM_WMI_NOT_SUPPORTED(SpawnInstance, LONG, IWbemClassObject**)                         \
    SIM_WMI_NOT_SUPPORTED(CompareTo, LONG, IWbemClassObject*)                              \
    SIM_WMI_NOT_SUPPORTED(GetPropertyOrigin, LPCWSTR, BSTR*)                               \
    SIM_WMI_NOT_SUPPORTED(PutMethod, LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*)  \
    SIM_WMI_NOT_SUPPORTED(DeleteMethod, LPCWSTR)                                           \
    SIM_WMI_NOT_SUPPORTED(BeginMethodEnumeration, LONG)                                    \
    SIM_WMI_NOT_SUPPORTED(NextMethod, LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) \
    SIM_WMI_NOT_SUPPORTED(EndMethodEnumeration)                                            \
    SIM_WMI_NOT_SUPPORTED(GetMethodQualifierSet, LPCWSTR, IWbemQualifierSet**)             \
    SIM_WMI_NOT_SUPPORTED(GetMethodOrigin, LPCWSTR, BSTR*)

// What neither enumerator answers: everything but Next.
#define SIM_WMI_ENUM_NOT_SUPPORTED                            \
    SIM_WMI_NOT_SUPPORTED(Reset)                              \
    SIM_WMI_NOT_SUPPORTED(NextAsync, ULONG, IWbemObjectSink*) \
    SIM_WMI_NOT_SUPPORTED(Clone, IEnumWbemClassObject**)      \
    SIM_WMI_NOT_SUPPORTED(Skip, LONG, ULONG)

namespace sim {

HRESULT NewWbemLocator(REFIID riid, void** ppv);
HRESULT NewWbemContext(REFIID riid, void** ppv);

// One reference to a COM object, released with the owner.
template <class T>
class ComHold {
public:
    ComHold() = default;
    explicit ComHold(T* owned) : m_p(owned) {}
    ComHold(ComHold&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ComHold& operator=(ComHold&& other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ComHold(const ComHold&) = delete;
    ComHold& operator=(const ComHold&) = delete;
    ~ComHold() {
        if (m_p != nullptr) {
            m_p->Release();
        }
    }
    T* Get() const { return m_p; }
    T* Detach() { return std::exchange(m_p, nullptr); }

private:
    T* m_p = nullptr;
};

// The fault table's check for a WMI call, and for the call qualified by a class or property name
// ("IWbemClassObject::Get:MacAddress"). S_OK when no fault applies.
HRESULT WmiFault(const char* call, std::u16string_view qualifier = std::u16string_view());

// An instance or class of a namespace, or an event about an instance. Properties read as WMI
// reads them: strings as BSTR, 8- to 32-bit integers as VT_I4, 64-bit ones as decimal BSTR,
// booleans as VT_BOOL, embedded objects as VT_UNKNOWN, a null value as VT_NULL; the system
// properties __CLASS, __GENUS, __PATH, __RELPATH, __NAMESPACE, __SERVER and __SUPERCLASS.
class WbemObject : public ComObject<IWbemClassObject> {
public:
    // An instance of the repository (kept alive by the object).
    WbemObject(std::shared_ptr<const CimRepository> repository, const CimInstance* instance);
    // A class of the repository.
    WbemObject(std::shared_ptr<const CimRepository> repository, std::u16string className);
    // An event of class `eventClass` about `target` (and `previous`, for a modification).
    WbemObject(std::u16string eventClass, ComHold<IWbemClassObject> target,
               ComHold<IWbemClassObject> previous);

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                  LONG* plFlavor) override;
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) override;
    SIM_WMI_CLASS_OBJECT_NOT_SUPPORTED

    // A class's method: no input parameters (null), output parameters "__PARAMETERS".
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags,
                                        IWbemClassObject** ppInSignature,
                                        IWbemClassObject** ppOutSignature) override;

private:
    ~WbemObject() override;
    // S_FALSE when `name` is not a system property.
    HRESULT SystemProperty(std::u16string_view name, VARIANT* value, CIMTYPE* type) const;

    std::shared_ptr<const CimRepository> m_repository;
    const CimInstance* m_instance = nullptr;
    std::u16string m_className;  // of the class object or event
    ComHold<IWbemClassObject> m_target;
    ComHold<IWbemClassObject> m_previous;
};

// An object made of named values: a method's output parameters, or an embedded object.
class WbemValueObject : public ComObject<IWbemClassObject> {
public:
    explicit WbemValueObject(std::u16string className);
    // Takes over what `value` holds.
    void Put(std::u16string name, VARIANT value, CIMTYPE type);

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                  LONG* plFlavor) override;
    SIM_WMI_NOT_SUPPORTED(InheritsFrom, LPCWSTR)
    SIM_WMI_CLASS_OBJECT_NOT_SUPPORTED
    SIM_WMI_NOT_SUPPORTED(GetMethod, LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**)

private:
    ~WbemValueObject() override;

    struct Value {
        std::u16string name;
        VARIANT value;
        CIMTYPE type;
    };
    std::u16string m_className;
    std::vector<Value> m_values;
};

// Forward-only results of a data query, taken when the query ran; or the provider's failure,
// which every Next gives.
class WbemQueryEnum : public ComObject<IEnumWbemClassObject> {
public:
    WbemQueryEnum(std::u16string nameSpace, unsigned generation, WmiSnapshot snapshot,
                  std::vector<const CimInstance*> results, HRESULT failure = S_OK);

    HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override;
    SIM_WMI_ENUM_NOT_SUPPORTED

private:
    std::u16string m_namespace;
    unsigned m_generation;
    WmiSnapshot m_snapshot;
    std::vector<const CimInstance*> m_results;
    HRESULT m_failure;
    size_t m_next = 0;
    std::mutex m_lock;
};

// An event subscription, served as Windows serves one for a provider without events of its own:
// every WITHIN seconds from the subscription's creation, a polling tick compares the namespace
// with what the last tick saw, and the events it finds are delivered at that tick (MS-WMI 3.1.5).
// A change undone between two ticks is never seen; changes made before the subscription are never
// reported. The ticks are worked out inside a waiting Next, which wakes for them: there is no
// thread of its own. A tick that falls while nobody waits is taken at the next Next.
class WbemEventEnum : public ComObject<IEnumWbemClassObject> {
public:
    WbemEventEnum(std::u16string nameSpace, unsigned generation, WmiSnapshot baseline,
                  wql::Query query);

    HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override;
    SIM_WMI_ENUM_NOT_SUPPORTED

private:
    ~WbemEventEnum() override;
    // Compares `now` with the baseline and queues the events the query selects.
    void Poll(const WmiSnapshot& now);
    void Queue(const char16_t* eventClass, const std::shared_ptr<const CimRepository>& repository,
               const CimInstance* target, const std::shared_ptr<const CimRepository>& before,
               const CimInstance* previous);
    bool Wants(const std::u16string& eventClass) const;

    std::u16string m_namespace;
    unsigned m_generation;
    WmiSnapshot m_baseline;
    wql::Query m_query;
    LONGLONG m_interval;  // machine time between ticks
    LONGLONG m_nextTick;
    std::deque<IWbemClassObject*> m_events;  // one reference each
    std::mutex m_lock;
};

}  // namespace sim
