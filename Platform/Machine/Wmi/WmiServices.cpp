// The locator, a namespace's services and the call context of the machine's WMI.
#include "Machine/Wmi/WmiObjects.h"

#include "Machine/Com/Automation.h"
#include "Machine/Wmi/WmiRequests.h"
#include "Machine/Wmi/ManagementProvider.h"
#include "Machine/Machine.h"

#include <atomic>
#include <string>
#include <vector>

namespace sim {

namespace {

std::atomic<unsigned long long> g_requests{0};

bool IsWql(BSTR language) {
    return language != nullptr && CimNamesEqual(language, u"WQL");
}

// Whether a failure means the call could not start at all, so that even a semisynchronous call
// returns it (MS-WMI 3.1.1.1.2); any other failure is the provider's, which such a call learns
// from the enumerator's Next.
bool FailsToStart(HRESULT hr) {
    switch (static_cast<uint32_t>(hr)) {
        case 0x80041003:  // WBEM_E_ACCESS_DENIED
        case 0x80041006:  // WBEM_E_OUT_OF_MEMORY
        case 0x8007000E:  // E_OUTOFMEMORY
        case 0x80041008:  // WBEM_E_INVALID_PARAMETER
        case 0x80041015:  // WBEM_E_TRANSPORT_FAILURE
        case 0x80041017:  // WBEM_E_INVALID_QUERY
        case 0x80041018:  // WBEM_E_INVALID_QUERY_TYPE
        case 0x80041033:  // WBEM_E_SHUTTING_DOWN
        case 0x8004106C:  // WBEM_E_QUOTA_VIOLATION
            return true;
        default:
            // RPC's own failures: the call never reached WMI.
            uint32_t code = static_cast<uint32_t>(hr);
            return ((code >> 16) & 0x1FFF) == 1 /* FACILITY_RPC */ ||
                   (code & 0xFFFFFF00) == 0x80070600;
    }
}

bool IsEventClass(const std::u16string& name) {
    for (const char16_t* event : {u"__InstanceOperationEvent", u"__InstanceCreationEvent",
                                  u"__InstanceDeletionEvent", u"__InstanceModificationEvent"}) {
        if (CimNamesEqual(name, event)) {
            return true;
        }
    }
    return false;
}

// An instance as a data query's condition sees it.
class InstanceSubject : public wql::Subject {
public:
    InstanceSubject(const CimRepository& repository, const CimInstance& instance)
        : m_repository(repository), m_instance(instance) {}
    const CimValue* Property(const std::u16string& name) const override {
        return m_instance.Find(name);
    }
    bool IsA(const std::u16string& property, const std::u16string& className) const override {
        return CimNamesEqual(property, u"__CLASS") &&
               m_repository.IsA(m_instance.ClassName(), className);
    }

private:
    const CimRepository& m_repository;
    const CimInstance& m_instance;
};

// One connection to a namespace. Its proxy blanket is kept as set; a call through it checks
// that WMI still runs in the generation it was made in.
class WbemServices : public ComObject<IWbemServices, IClientSecurity> {
public:
    WbemServices(std::u16string nameSpace, unsigned generation)
        : ComObject("WbemServices"), m_namespace(std::move(nameSpace)), m_generation(generation) {}

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                        LONG lFlags, IWbemContext* pCtx,
                                        IEnumWbemClassObject** ppEnum) override;
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR strQueryLanguage,
                                                    const BSTR strQuery, LONG lFlags,
                                                    IWbemContext* pCtx,
                                                    IEnumWbemClassObject** ppEnum) override;
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                        IWbemClassObject** ppObject,
                                        IWbemCallResult** ppCallResult) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags,
                                                 IWbemContext* pCtx,
                                                 IEnumWbemClassObject** ppEnum) override;
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName,
                                         LONG lFlags, IWbemContext* pCtx,
                                         IWbemClassObject* pInParams,
                                         IWbemClassObject** ppOutParams,
                                         IWbemCallResult** ppCallResult) override;

    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR*, DWORD level,
                                         DWORD impersonation, void*, DWORD capabilities) override {
        m_blanket = {authn, authz, level, impersonation, capabilities};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** name,
                                           DWORD* level, DWORD* impersonation, void** identity,
                                           DWORD* capabilities) override;
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

    SIM_WMI_NOT_SUPPORTED(OpenNamespace, const BSTR, LONG, IWbemContext*, IWbemServices**,
                          IWbemCallResult**)
    SIM_WMI_NOT_SUPPORTED(CancelAsyncCall, IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(QueryObjectSink, LONG, IWbemObjectSink**)
    SIM_WMI_NOT_SUPPORTED(GetObjectAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(PutClass, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    SIM_WMI_NOT_SUPPORTED(PutClassAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(DeleteClass, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
    SIM_WMI_NOT_SUPPORTED(DeleteClassAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(CreateClassEnum, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    SIM_WMI_NOT_SUPPORTED(CreateClassEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(PutInstance, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    SIM_WMI_NOT_SUPPORTED(PutInstanceAsync, IWbemClassObject*, LONG, IWbemContext*,
                          IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(DeleteInstance, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
    SIM_WMI_NOT_SUPPORTED(DeleteInstanceAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(CreateInstanceEnumAsync, const BSTR, LONG, IWbemContext*,
                          IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(ExecQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*,
                          IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(ExecNotificationQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*,
                          IWbemObjectSink*)
    SIM_WMI_NOT_SUPPORTED(ExecMethodAsync, const BSTR, const BSTR, LONG, IWbemContext*,
                          IWbemClassObject*, IWbemObjectSink*)

private:
    struct Blanket {
        DWORD authn = 0xFFFFFFFF, authz = 0xFFFFFFFF, level = 0, impersonation = 0,
              capabilities = 0;
    };
    // What every call does first: the fault table's check of `call` (with `qualifier`), then the
    // namespace as it is now.
    HRESULT Begin(const char* call, const std::u16string& qualifier, WmiSnapshot* snapshot) const;
    // Begin, then the query: in WQL, and parsed.
    HRESULT BeginQuery(const char* call, BSTR language, BSTR text, WmiSnapshot* snapshot,
                       wql::Query* query) const;
    // The query's results, once the caller's arguments and the query are found good.
    HRESULT Select(const WmiSnapshot& snapshot, const wql::Query& query,
                   std::vector<const CimInstance*>* results);
    HRESULT Associators(const WmiSnapshot& snapshot, const wql::Query& query,
                        std::vector<const CimInstance*>* results);

    // The management provider records every call with its context.
    void Record(const char* call, const std::u16string& target, IWbemContext* context) const {
        if (m_namespace == kManagementNamespace) {
            RecordWmiCall(call, target, context);
        }
    }

    std::u16string m_namespace;
    unsigned m_generation;
    Blanket m_blanket;
};

HRESULT WbemServices::QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** name,
                                   DWORD* level, DWORD* impersonation, void** identity,
                                   DWORD* capabilities) {
    auto put = [](DWORD* out, DWORD value) {
        if (out != nullptr) {
            *out = value;
        }
    };
    put(authn, m_blanket.authn);
    put(authz, m_blanket.authz);
    put(level, m_blanket.level);
    put(impersonation, m_blanket.impersonation);
    put(capabilities, m_blanket.capabilities);
    if (name != nullptr) {
        *name = nullptr;
    }
    if (identity != nullptr) {
        *identity = nullptr;
    }
    return S_OK;
}

HRESULT WbemServices::Begin(const char* call, const std::u16string& qualifier,
                            WmiSnapshot* snapshot) const {
    g_requests.fetch_add(1, std::memory_order_relaxed);
    HRESULT hr = WmiFault(call, qualifier);
    if (FAILED(hr)) {
        return hr;
    }
    return Machine::Get().Wmi().Snapshot(m_namespace, m_generation, snapshot);
}

HRESULT WbemServices::BeginQuery(const char* call, BSTR language, BSTR text, WmiSnapshot* snapshot,
                                 wql::Query* query) const {
    g_requests.fetch_add(1, std::memory_order_relaxed);
    HRESULT hr = WmiFault(call);
    if (FAILED(hr)) {
        return hr;
    }
    if (!IsWql(language)) {
        return WBEM_E_INVALID_QUERY_TYPE;
    }
    hr = Machine::Get().Wmi().Snapshot(m_namespace, m_generation, snapshot);
    if (FAILED(hr)) {
        return hr;
    }
    return wql::Parse(text, *query) ? S_OK : WBEM_E_INVALID_QUERY;
}

HRESULT WbemServices::Select(const WmiSnapshot& snapshot, const wql::Query& query,
                             std::vector<const CimInstance*>* results) {
    const CimRepository& repository = *snapshot.repository;
    const std::u16string* className = repository.FindClass(query.className);
    if (IsEventClass(query.className) || query.within != 0) {
        return WBEM_E_INVALID_QUERY;  // events come only through ExecNotificationQuery
    }
    if (className == nullptr) {
        return WBEM_E_INVALID_CLASS;
    }
    HRESULT hr = WmiFault("IWbemServices::ExecQuery", u"SELECT");
    if (SUCCEEDED(hr)) {
        hr = WmiFault("IWbemServices::ExecQuery", *className);
    }
    if (FAILED(hr)) {
        return hr;
    }
    for (const CimInstance* instance : repository.InstancesOf(*className)) {
        if (query.where == nullptr ||
            wql::Matches(*query.where, InstanceSubject(repository, *instance))) {
            results->push_back(instance);
        }
    }
    return S_OK;
}

HRESULT WbemServices::Associators(const WmiSnapshot& snapshot, const wql::Query& query,
                                  std::vector<const CimInstance*>* results) {
    const CimRepository& repository = *snapshot.repository;
    const std::u16string* resultClass = nullptr;
    if (!query.resultClass.empty()) {
        resultClass = repository.FindClass(query.resultClass);
        if (resultClass == nullptr) {
            return WBEM_E_INVALID_CLASS;
        }
    }
    bool exists = false;
    std::vector<const CimInstance*> associated = repository.AssociatorsOf(
        query.objectPath, resultClass != nullptr ? *resultClass : std::u16string(), &exists);
    if (!exists) {
        return WBEM_E_NOT_FOUND;
    }
    HRESULT hr = WmiFault("IWbemServices::ExecQuery", u"ASSOCIATORS");
    if (SUCCEEDED(hr) && resultClass != nullptr) {
        hr = WmiFault("IWbemServices::ExecQuery", *resultClass);
    }
    if (FAILED(hr)) {
        return hr;
    }
    *results = std::move(associated);
    return S_OK;
}

// The answer is worked out when the call is made. A semisynchronous call (RETURN_IMMEDIATELY)
// returns the enumerator at once, and the provider's failure reaches the caller through its first
// Next, as Windows delivers it.
HRESULT WbemServices::ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                IWbemContext*, IEnumWbemClassObject** ppEnum) {
    if (ppEnum == nullptr || strQuery == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppEnum = nullptr;
    WmiSnapshot snapshot;
    wql::Query query;
    HRESULT hr =
        BeginQuery("IWbemServices::ExecQuery", strQueryLanguage, strQuery, &snapshot, &query);
    if (FAILED(hr)) {
        return hr;
    }
    std::vector<const CimInstance*> results;
    hr = query.kind == wql::Query::Kind::Select ? Select(snapshot, query, &results)
                                                : Associators(snapshot, query, &results);
    bool semisync = (lFlags & WBEM_FLAG_RETURN_IMMEDIATELY) != 0;
    if (FAILED(hr) && (!semisync || FailsToStart(hr))) {
        return hr;
    }
    *ppEnum = new WbemQueryEnum(m_namespace, m_generation, snapshot, std::move(results), hr);
    return WBEM_S_NO_ERROR;
}

HRESULT WbemServices::ExecNotificationQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                            LONG lFlags, IWbemContext*,
                                            IEnumWbemClassObject** ppEnum) {
    if (ppEnum == nullptr || strQuery == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppEnum = nullptr;
    // Only semisynchronous subscriptions exist: both flags are required, as on Windows.
    const LONG semisync = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
    if ((lFlags & semisync) != semisync) {
        return WBEM_E_INVALID_PARAMETER;
    }
    WmiSnapshot snapshot;
    wql::Query query;
    HRESULT hr = BeginQuery("IWbemServices::ExecNotificationQuery", strQueryLanguage, strQuery,
                            &snapshot, &query);
    if (FAILED(hr)) {
        return hr;
    }
    if (query.kind != wql::Query::Kind::Select) {
        return WBEM_E_INVALID_QUERY;
    }
    if (!IsEventClass(query.className)) {
        return snapshot.repository->FindClass(query.className) == nullptr
                   ? WBEM_E_INVALID_CLASS
                   : static_cast<HRESULT>(0x80041050);  // WBEM_E_NOT_EVENT_CLASS
    }
    // This provider has no events of its own: it polls, and polling needs an interval.
    if (query.within <= 0) {
        return WBEM_E_INVALID_QUERY;
    }
    if (query.where != nullptr) {
        for (const std::u16string& className : wql::IsaClasses(*query.where)) {
            if (snapshot.repository->FindClass(className) == nullptr) {
                return WBEM_E_INVALID_CLASS;
            }
        }
    }
    *ppEnum = new WbemEventEnum(m_namespace, m_generation, snapshot, std::move(query));
    return WBEM_S_NO_ERROR;
}

HRESULT WbemServices::GetObject(const BSTR strObjectPath, LONG, IWbemContext* pCtx,
                                IWbemClassObject** ppObject, IWbemCallResult** ppCallResult) {
    if (ppCallResult != nullptr) {
        *ppCallResult = nullptr;
    }
    if (ppObject == nullptr || strObjectPath == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppObject = nullptr;
    WmiSnapshot snapshot;
    HRESULT hr = Begin("IWbemServices::GetObject", std::u16string(), &snapshot);
    if (FAILED(hr)) {
        return hr;
    }
    std::u16string path(strObjectPath);
    Record("GetObject", path, pCtx);
    if (const CimInstance* instance = snapshot.repository->Find(path)) {
        *ppObject = new WbemObject(snapshot.repository, instance);
        return WBEM_S_NO_ERROR;
    }
    if (const std::u16string* className = snapshot.repository->FindClass(path)) {
        *ppObject = new WbemObject(snapshot.repository, *className);
        return WBEM_S_NO_ERROR;
    }
    return path.find(u'.') == std::u16string::npos ? WBEM_E_INVALID_CLASS : WBEM_E_NOT_FOUND;
}

HRESULT WbemServices::CreateInstanceEnum(const BSTR strFilter, LONG, IWbemContext* pCtx,
                                         IEnumWbemClassObject** ppEnum) {
    if (ppEnum == nullptr || strFilter == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppEnum = nullptr;
    WmiSnapshot snapshot;
    HRESULT hr = Begin("IWbemServices::CreateInstanceEnum", strFilter, &snapshot);
    if (FAILED(hr)) {
        return hr;
    }
    Record("CreateInstanceEnum", strFilter, pCtx);
    const std::u16string* className = snapshot.repository->FindClass(strFilter);
    if (className == nullptr) {
        return WBEM_E_INVALID_CLASS;
    }
    *ppEnum = new WbemQueryEnum(m_namespace, m_generation, snapshot,
                                snapshot.repository->InstancesOf(*className));
    return WBEM_S_NO_ERROR;
}

HRESULT WbemServices::ExecMethod(const BSTR strObjectPath, const BSTR strMethodName, LONG,
                                 IWbemContext* pCtx, IWbemClassObject*,
                                 IWbemClassObject** ppOutParams, IWbemCallResult** ppCallResult) {
    if (ppCallResult != nullptr) {
        *ppCallResult = nullptr;  // a synchronous call has no call result to poll
    }
    if (strObjectPath == nullptr || strMethodName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    if (ppOutParams != nullptr) {
        *ppOutParams = nullptr;
    }
    WmiSnapshot snapshot;
    HRESULT hr = Begin("IWbemServices::ExecMethod", strMethodName, &snapshot);
    if (FAILED(hr)) {
        return hr;
    }
    Record("ExecMethod", std::u16string(strObjectPath) + u"." + strMethodName, pCtx);
    IWbemClassObject* out = nullptr;
    hr = Machine::Get().Wmi().ExecMethod(snapshot, strObjectPath, strMethodName, &out);
    if (SUCCEEDED(hr) && ppOutParams != nullptr) {
        *ppOutParams = out;
    } else if (out != nullptr) {
        out->Release();
    }
    return hr;
}

class WbemLocator : public ComObject<IWbemLocator> {
public:
    WbemLocator() : ComObject("WbemLocator") {}

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR, const BSTR,
                                            const BSTR, LONG, const BSTR, IWbemContext*,
                                            IWbemServices** ppNamespace) override {
        if (ppNamespace == nullptr || strNetworkResource == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppNamespace = nullptr;
        HRESULT hr = WmiFault("IWbemLocator::ConnectServer");
        std::u16string nameSpace;
        unsigned generation = 0;
        if (SUCCEEDED(hr)) {
            hr = Machine::Get().Wmi().Connect(strNetworkResource, &nameSpace, &generation);
        }
        if (FAILED(hr)) {
            return hr;
        }
        *ppNamespace = new WbemServices(nameSpace, generation);
        return WBEM_S_NO_ERROR;
    }
};

// A call context: named values a client hands to a provider.
class WbemContext : public ComObject<IWbemContext> {
public:
    WbemContext() : ComObject("WbemContext") {}

    HRESULT STDMETHODCALLTYPE SetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pValue) override {
        if (wszName == nullptr || pValue == nullptr || lFlags != 0) {
            return WBEM_E_INVALID_PARAMETER;
        }
        VARIANT copy;
        V_VT(&copy) = VT_EMPTY;
        HRESULT hr = CopyVariant(&copy, pValue);
        if (FAILED(hr)) {
            return hr;
        }
        DeleteValue(wszName, 0);
        m_values.emplace_back(std::u16string(wszName), copy);
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE GetValue(LPCWSTR wszName, LONG, VARIANT* pValue) override {
        if (wszName == nullptr || pValue == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        for (auto& value : m_values) {
            if (CimNamesEqual(value.first, wszName)) {
                V_VT(pValue) = VT_EMPTY;
                return CopyVariant(pValue, &value.second);
            }
        }
        return WBEM_E_NOT_FOUND;
    }
    HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR wszName, LONG) override {
        for (auto it = m_values.begin(); it != m_values.end(); ++it) {
            if (CimNamesEqual(it->first, wszName)) {
                ClearVariant(&it->second);
                m_values.erase(it);
                return WBEM_S_NO_ERROR;
            }
        }
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE DeleteAll() override {
        for (auto& value : m_values) {
            ClearVariant(&value.second);
        }
        m_values.clear();
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE GetNames(LONG lFlags, SAFEARRAY** pNames) override {
        if (pNames == nullptr || lFlags != 0) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *pNames = NewVector(VT_BSTR, 0, static_cast<ULONG>(m_values.size()));
        if (*pNames == nullptr) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        for (size_t i = 0; i < m_values.size(); ++i) {
            BSTR name =
                NewString(m_values[i].first.data(), static_cast<UINT>(m_values[i].first.size()));
            PutElement(*pNames, static_cast<LONG>(i), name);  // copies it
            FreeString(name);
        }
        return WBEM_S_NO_ERROR;
    }
    SIM_WMI_NOT_SUPPORTED(Clone, IWbemContext**)
    SIM_WMI_NOT_SUPPORTED(BeginEnumeration, LONG)
    SIM_WMI_NOT_SUPPORTED(Next, LONG, BSTR*, VARIANT*)
    SIM_WMI_NOT_SUPPORTED(EndEnumeration)

private:
    ~WbemContext() override { DeleteAll(); }

    std::vector<std::pair<std::u16string, VARIANT>> m_values;
};

template <class Object>
HRESULT Hand(Object* object, REFIID riid, void** ppv) {
    ComHold<Object> hold(object);
    return object->QueryInterface(riid, ppv);
}

}  // namespace

unsigned long long WmiRequests() {
    return g_requests.load(std::memory_order_relaxed);
}

HRESULT NewWbemLocator(REFIID riid, void** ppv) {
    return Hand(new WbemLocator(), riid, ppv);
}

HRESULT NewWbemContext(REFIID riid, void** ppv) {
    return Hand(new WbemContext(), riid, ppv);
}

}  // namespace sim
