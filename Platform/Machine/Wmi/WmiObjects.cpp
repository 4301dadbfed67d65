#include "Machine/Wmi/WmiObjects.h"

#include "Machine/Com/Automation.h"
#include "Machine/Clock/Clock.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"

#include <algorithm>
#include <initializer_list>
#include <string>

namespace sim {

namespace {

constexpr LONG kFlavorSystem = 0x40;  // WBEM_FLAVOR_ORIGIN_SYSTEM

// The pieces, one after another, as one BSTR.
HRESULT PutString(std::initializer_list<std::u16string_view> pieces, VARIANT* value) {
    size_t length = 0;
    for (std::u16string_view piece : pieces) {
        length += piece.size();
    }
    BSTR copy = NewString(nullptr, static_cast<UINT>(length));
    if (copy == nullptr) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    OLECHAR* end = copy;
    for (std::u16string_view piece : pieces) {
        end = std::copy(piece.begin(), piece.end(), end);
    }
    V_VT(value) = VT_BSTR;
    V_BSTR(value) = copy;
    return S_OK;
}

HRESULT PutString(std::u16string_view text, VARIANT* value) {
    return PutString({text}, value);
}

HRESULT PutValue(const CimValue& cim, VARIANT* value) {
    switch (cim.kind) {
        case CimValue::Kind::Null:
            V_VT(value) = VT_NULL;
            return S_OK;
        case CimValue::Kind::Boolean:
            V_VT(value) = VT_BOOL;
            V_BOOL(value) = cim.boolean ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case CimValue::Kind::Integer:
            if (cim.type == CIM_SINT64 || cim.type == CIM_UINT64) {
                std::string digits = std::to_string(cim.integer);
                return PutString(std::u16string(digits.begin(), digits.end()), value);
            }
            V_VT(value) = VT_I4;
            V_I4(value) = static_cast<LONG>(cim.integer);
            return S_OK;
        case CimValue::Kind::String:
            return PutString(cim.text, value);
    }
    return WBEM_E_FAILED;
}

HRESULT PutObject(IWbemClassObject* object, VARIANT* value) {
    if (object == nullptr) {
        V_VT(value) = VT_NULL;
        return S_OK;
    }
    object->AddRef();
    V_VT(value) = VT_UNKNOWN;
    V_UNKNOWN(value) = object;
    return S_OK;
}

// A property read's answer into the caller's optional out arguments; what `value` holds goes to
// `pVal`, or is freed.
HRESULT Hand(VARIANT* value, CIMTYPE type, LONG flavor, VARIANT* pVal, CIMTYPE* pType,
             LONG* plFlavor) {
    if (pVal != nullptr) {
        *pVal = *value;
    } else {
        ClearVariant(value);
    }
    if (pType != nullptr) {
        *pType = type;
    }
    if (plFlavor != nullptr) {
        *plFlavor = flavor;
    }
    return WBEM_S_NO_ERROR;
}

}  // namespace

HRESULT WmiFault(const char* call, std::u16string_view qualifier) {
    DWORD error = 0;
    if (InjectedFault(call, &error)) {
        return static_cast<HRESULT>(error);
    }
    if (!qualifier.empty() && Machine::Get().Faults().Any()) {
        std::string name = std::string(call) + ":" + Utf16ToUtf8(qualifier);
        if (InjectedFault(name.c_str(), &error)) {
            return static_cast<HRESULT>(error);
        }
    }
    return S_OK;
}

// WbemObject

WbemObject::WbemObject(std::shared_ptr<const CimRepository> repository, const CimInstance* instance)
    : ComObject("WbemObject"), m_repository(std::move(repository)), m_instance(instance) {
    m_className = m_instance->ClassName();
}

WbemObject::WbemObject(std::shared_ptr<const CimRepository> repository, std::u16string className)
    : ComObject("WbemObject"), m_repository(std::move(repository)), m_className(className) {}

WbemObject::WbemObject(std::u16string eventClass, ComHold<IWbemClassObject> target,
                       ComHold<IWbemClassObject> previous)
    : ComObject("WbemObject"),
      m_className(std::move(eventClass)),
      m_target(std::move(target)),
      m_previous(std::move(previous)) {}

WbemObject::~WbemObject() = default;

HRESULT WbemObject::SystemProperty(std::u16string_view name, VARIANT* value, CIMTYPE* type) const {
    *type = CIM_STRING;
    bool isClass = m_instance == nullptr && m_repository != nullptr;
    bool isEvent = m_repository == nullptr;
    if (CimNamesEqual(name, u"__CLASS")) {
        return PutString(m_className, value);
    }
    if (CimNamesEqual(name, u"__GENUS")) {
        *type = CIM_SINT32;
        V_VT(value) = VT_I4;
        V_I4(value) = isClass ? 1 : 2;  // WBEM_GENUS_CLASS, WBEM_GENUS_INSTANCE
        return S_OK;
    }
    if (CimNamesEqual(name, u"__SUPERCLASS")) {
        V_VT(value) = VT_NULL;
        return S_OK;
    }
    bool path = CimNamesEqual(name, u"__PATH");
    bool relPath = CimNamesEqual(name, u"__RELPATH");
    bool server = CimNamesEqual(name, u"__SERVER");
    bool nameSpace = CimNamesEqual(name, u"__NAMESPACE");
    if (!path && !relPath && !server && !nameSpace) {
        return S_FALSE;
    }
    if (isEvent) {  // an event lives nowhere
        V_VT(value) = VT_NULL;
        return S_OK;
    }
    if (server) {
        return PutString(m_repository->Host(), value);
    }
    if (nameSpace) {
        return PutString(m_repository->Namespace(), value);
    }
    const std::u16string& rel = isClass ? m_className : m_instance->KeptRelPath();
    if (relPath) {
        return PutString(rel, value);
    }
    return PutString({u"\\\\", m_repository->Host(), u"\\", m_repository->Namespace(), u":", rel},
                     value);
}

HRESULT WbemObject::Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                        LONG* plFlavor) {
    if (wszName == nullptr || lFlags != 0) {
        return WBEM_E_INVALID_PARAMETER;
    }
    std::u16string_view name(wszName);
    const CimValue* property = m_instance != nullptr ? m_instance->Find(name) : nullptr;
    HRESULT hr = WmiFault("IWbemClassObject::Get", name);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT value;
    V_VT(&value) = VT_EMPTY;
    CIMTYPE type = CIM_STRING;
    LONG flavor = 0;
    hr = SystemProperty(name, &value, &type);
    if (hr == S_FALSE) {
        flavor = 0;
        if (property != nullptr) {
            type = property->type;
            hr = PutValue(*property, &value);
        } else if (m_repository == nullptr && CimNamesEqual(name, u"TargetInstance")) {
            type = CIM_OBJECT;
            hr = PutObject(m_target.Get(), &value);
        } else if (m_repository == nullptr && CimNamesEqual(name, u"PreviousInstance") &&
                   m_previous.Get() != nullptr) {
            type = CIM_OBJECT;
            hr = PutObject(m_previous.Get(), &value);
        } else {
            return WBEM_E_NOT_FOUND;
        }
    } else {
        flavor = kFlavorSystem;
    }
    if (FAILED(hr)) {
        return hr;
    }
    return Hand(&value, type, flavor, pVal, pType, plFlavor);
}

HRESULT WbemObject::InheritsFrom(LPCWSTR strAncestor) {
    if (strAncestor == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    if (m_repository == nullptr || CimNamesEqual(m_className, strAncestor)) {
        return WBEM_S_FALSE;
    }
    return m_repository->IsA(m_className, strAncestor) ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
}

HRESULT WbemObject::GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                              IWbemClassObject** ppOutSignature) {
    if (wszName == nullptr || lFlags != 0) {
        return WBEM_E_INVALID_PARAMETER;
    }
    HRESULT hr = WmiFault("IWbemClassObject::GetMethod", wszName);
    if (FAILED(hr)) {
        return hr;
    }
    if (m_repository == nullptr || !m_repository->HasMethod(m_className, wszName)) {
        return WBEM_E_NOT_FOUND;
    }
    if (ppInSignature != nullptr) {
        *ppInSignature = nullptr;  // the method takes no input parameters
    }
    if (ppOutSignature != nullptr) {
        *ppOutSignature = new WbemValueObject(u"__PARAMETERS");
    }
    return WBEM_S_NO_ERROR;
}

// WbemValueObject

WbemValueObject::WbemValueObject(std::u16string className)
    : ComObject("WbemValueObject"), m_className(std::move(className)) {}

WbemValueObject::~WbemValueObject() {
    for (Value& value : m_values) {
        ClearVariant(&value.value);
    }
}

void WbemValueObject::Put(std::u16string name, VARIANT value, CIMTYPE type) {
    m_values.push_back({std::move(name), value, type});
}

HRESULT WbemValueObject::Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                             LONG* plFlavor) {
    if (wszName == nullptr || lFlags != 0) {
        return WBEM_E_INVALID_PARAMETER;
    }
    HRESULT hr = WmiFault("IWbemClassObject::Get", wszName);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT copy;
    V_VT(&copy) = VT_EMPTY;
    CIMTYPE type = CIM_STRING;
    LONG flavor = 0;
    if (CimNamesEqual(wszName, u"__CLASS")) {
        hr = PutString(m_className, &copy);
        flavor = kFlavorSystem;
    } else {
        hr = WBEM_E_NOT_FOUND;
        for (Value& value : m_values) {
            if (CimNamesEqual(value.name, wszName)) {
                hr = CopyVariant(&copy, &value.value);
                type = value.type;
                break;
            }
        }
    }
    if (FAILED(hr)) {
        return hr;
    }
    return Hand(&copy, type, flavor, pVal, pType, plFlavor);
}

// WbemQueryEnum

WbemQueryEnum::WbemQueryEnum(std::u16string nameSpace, unsigned generation, WmiSnapshot snapshot,
                             std::vector<const CimInstance*> results, HRESULT failure)
    : ComObject("WbemQueryEnum"),
      m_namespace(std::move(nameSpace)),
      m_generation(generation),
      m_snapshot(std::move(snapshot)),
      m_results(std::move(results)),
      m_failure(failure) {}

HRESULT WbemQueryEnum::Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                            ULONG* puReturned) {
    if (apObjects == nullptr || puReturned == nullptr || lTimeout < WBEM_INFINITE) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *puReturned = 0;
    HRESULT hr = FAILED(m_failure) ? m_failure : WmiFault("IEnumWbemClassObject::Next");
    WmiSnapshot now;
    if (SUCCEEDED(hr)) {
        // Results are taken when the query ran; a WMI that went away since breaks the enumerator.
        hr = Machine::Get().Wmi().Snapshot(m_namespace, m_generation, &now);
    }
    if (FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    while (*puReturned < uCount && m_next < m_results.size()) {
        apObjects[(*puReturned)++] = new WbemObject(m_snapshot.repository, m_results[m_next++]);
    }
    return *puReturned == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
}

// WbemEventEnum

WbemEventEnum::WbemEventEnum(std::u16string nameSpace, unsigned generation, WmiSnapshot baseline,
                             wql::Query query)
    : ComObject("WbemEventEnum"),
      m_namespace(std::move(nameSpace)),
      m_generation(generation),
      m_baseline(std::move(baseline)),
      m_query(std::move(query)),
      m_interval(
          std::max<LONGLONG>(1, static_cast<LONGLONG>(m_query.within * 1000 * Clock::kUnitsPerMs))),
      m_nextTick(Machine::Get().Clock().Now() + m_interval) {}

WbemEventEnum::~WbemEventEnum() {
    for (IWbemClassObject* event : m_events) {
        event->Release();
    }
}

bool WbemEventEnum::Wants(const std::u16string& eventClass) const {
    return CimNamesEqual(m_query.className, u"__InstanceOperationEvent") ||
           CimNamesEqual(m_query.className, eventClass);
}

namespace {

// An event as the query's condition sees it: TargetInstance (and PreviousInstance) with their
// properties ("TargetInstance.Name") and classes.
class EventSubject : public wql::Subject {
public:
    EventSubject(const CimRepository& repository, const CimInstance& target)
        : m_repository(repository), m_target(target) {}
    const CimValue* Property(const std::u16string& name) const override {
        const std::u16string prefix = u"TargetInstance.";
        if (name.size() > prefix.size() && CimNamesEqual(name.substr(0, prefix.size()), prefix)) {
            return m_target.Find(name.substr(prefix.size()));
        }
        return nullptr;
    }
    bool IsA(const std::u16string& property, const std::u16string& className) const override {
        return CimNamesEqual(property, u"TargetInstance") &&
               m_repository.IsA(m_target.ClassName(), className);
    }

private:
    const CimRepository& m_repository;
    const CimInstance& m_target;
};

}  // namespace

void WbemEventEnum::Queue(const char16_t* eventClass,
                          const std::shared_ptr<const CimRepository>& repository,
                          const CimInstance* target,
                          const std::shared_ptr<const CimRepository>& before,
                          const CimInstance* previous) {
    if (!Wants(eventClass)) {
        return;
    }
    if (m_query.where != nullptr &&
        !wql::Matches(*m_query.where, EventSubject(*repository, *target))) {
        return;
    }
    ComHold<IWbemClassObject> targetObject(new WbemObject(repository, target));
    ComHold<IWbemClassObject> previousObject(previous != nullptr ? new WbemObject(before, previous)
                                                                 : nullptr);
    m_events.push_back(
        new WbemObject(eventClass, std::move(targetObject), std::move(previousObject)));
}

namespace {

// Properties a host's provider changes by itself while a VM runs.
const char16_t kSelfChanging[] = u"OnTimeInMilliseconds";

// Whether an instance changed between two ticks in anything but what changes by itself.
bool Modified(const CimInstance& before, const CimInstance& after) {
    const auto& a = before.Properties();
    const auto& b = after.Properties();
    if (a.size() != b.size()) {
        return true;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].first != b[i].first ||
            (a[i].second != b[i].second && !CimNamesEqual(a[i].first, kSelfChanging))) {
            return true;
        }
    }
    return false;
}

// A running VM, whose OnTimeInMilliseconds is never the same at two ticks.
bool CountsOnTime(const CimInstance& instance) {
    const CimValue* onTime = instance.Find(kSelfChanging);
    const CimValue* state = instance.Find(u"EnabledState");
    return onTime != nullptr && onTime->kind != CimValue::Kind::Null && state != nullptr &&
           state->kind == CimValue::Kind::Integer && state->integer == 2;
}

}  // namespace

void WbemEventEnum::Poll(const WmiSnapshot& now) {
    const std::shared_ptr<const CimRepository>& before = m_baseline.repository;
    const std::shared_ptr<const CimRepository>& after = now.repository;
    std::shared_ptr<const HyperVTopology> topology = Machine::Get().Wmi().Topology();
    bool counters = topology != nullptr && topology->countersRaiseEvents;
    if (now.version == m_baseline.version && !counters) {
        return;
    }
    for (const CimInstance* instance : after->Instances()) {
        const CimInstance* old = before->Find(instance->RelPath());
        if (old == nullptr) {
            Queue(u"__InstanceCreationEvent", after, instance, nullptr, nullptr);
        } else if (Modified(*old, *instance) || (counters && CountsOnTime(*instance))) {
            Queue(u"__InstanceModificationEvent", after, instance, before, old);
        }
    }
    for (const CimInstance* old : before->Instances()) {
        if (after->Find(old->RelPath()) == nullptr) {
            Queue(u"__InstanceDeletionEvent", before, old, nullptr, nullptr);
        }
    }
    m_baseline = now;
}

HRESULT WbemEventEnum::Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                            ULONG* puReturned) {
    if (apObjects == nullptr || puReturned == nullptr || lTimeout < WBEM_INFINITE) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *puReturned = 0;
    HRESULT hr = WmiFault("IEnumWbemClassObject::Next");
    if (FAILED(hr)) {
        return hr;
    }
    Clock& clock = Machine::Get().Clock();
    const LONGLONG deadline =
        lTimeout == WBEM_INFINITE ? Clock::kNever : clock.Now() + lTimeout * Clock::kUnitsPerMs;
    std::lock_guard<std::mutex> hold(m_lock);
    for (;;) {
        // A connection WMI no longer serves fails at once, as the RPC call would.
        WmiSnapshot now;
        hr = Machine::Get().Wmi().Snapshot(m_namespace, m_generation, &now);
        if (FAILED(hr)) {
            return hr;
        }
        LONGLONG time = clock.Now();
        if (time >= m_nextTick) {
            Poll(now);
            m_nextTick += (time - m_nextTick) / m_interval * m_interval + m_interval;
        }
        while (*puReturned < uCount && !m_events.empty()) {
            apObjects[(*puReturned)++] = m_events.front();
            m_events.pop_front();
        }
        if (*puReturned == uCount) {
            return WBEM_S_NO_ERROR;
        }
        if (time >= deadline) {
            return WBEM_S_TIMEDOUT;
        }
        LONGLONG wake = std::min(deadline, m_nextTick) - time;
        clock.Sleep(static_cast<DWORD>((wake + Clock::kUnitsPerMs - 1) / Clock::kUnitsPerMs));
    }
}

}  // namespace sim
