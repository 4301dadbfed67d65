#include "Support/FakeWbem.h"

#include <algorithm>

namespace test {

namespace {

WString Text(const WCHAR* text) {
    return text == nullptr ? WString() : WString(text);
}

// Hands the objects out one at a time, then ends with the answer's end code.
class FakeEnum : public sim::ComObject<IEnumWbemClassObject> {
public:
    explicit FakeEnum(const FakeAnswer& answer)
        : ComObject("test::FakeEnum"),
          m_objects(answer.objects),
          m_end(answer.end),
          m_waits(answer.waits),
          m_delayMs(answer.delayMs),
          m_created(GetTickCount()) {}

    HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override {
        if (apObjects == nullptr || puReturned == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (m_waits && !Due()) {
            *puReturned = 0;
            bool pending = Pending();
            if (lTimeout < 0 && !pending) {
                return m_end;
            }
            DWORD dwWaitMs = lTimeout < 0 ? INFINITE : static_cast<DWORD>(lTimeout);
            if (pending) {
                dwWaitMs = std::min(dwWaitMs, m_delayMs - (GetTickCount() - m_created));
            }
            Sleep(dwWaitMs);
            if (!Due()) {
                return pending ? WBEM_S_TIMEDOUT : m_end;
            }
        }
        std::lock_guard<std::mutex> hold(m_lock);
        ULONG given = 0;
        while (given < uCount && m_next < m_objects.size()) {
            FakeObject* object = m_objects[m_next++].Get();
            object->AddRef();
            apObjects[given++] = object;
        }
        *puReturned = given;
        if (given == uCount) {
            return WBEM_S_NO_ERROR;
        }
        return given > 0 ? WBEM_S_FALSE : m_end;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_next = 0;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return E_NOTIMPL; }

private:
    ~FakeEnum() override = default;

    bool Pending() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_next < m_objects.size();
    }
    // Objects left, and their time has come.
    bool Due() { return Pending() && GetTickCount() - m_created >= m_delayMs; }

    std::mutex m_lock;
    std::vector<ComRef<FakeObject>> m_objects;
    size_t m_next = 0;
    HRESULT m_end;
    bool m_waits;
    DWORD m_delayMs;
    DWORD m_created;
};

class FakeLocator : public sim::ComObject<IWbemLocator> {
public:
    explicit FakeLocator(std::shared_ptr<FakeLocatorClass::State> state)
        : ComObject("test::FakeLocator"), m_state(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR, const BSTR,
                                            const BSTR, LONG, const BSTR, IWbemContext*,
                                            IWbemServices** ppNamespace) override;

private:
    ~FakeLocator() override = default;

    std::shared_ptr<FakeLocatorClass::State> m_state;
};

}  // namespace

WString Lower(const WString& text) {
    WString lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](WCHAR c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c - 'A' + 'a') : c;
    });
    return lower;
}

// FakeObject

ComRef<FakeObject> FakeObject::Make() {
    return ComRef<FakeObject>(new FakeObject());
}

FakeObject::~FakeObject() {
    for (auto& entry : m_properties) {
        VariantClear(&entry.second.value);
    }
}

FakeObject& FakeObject::Set(const WCHAR* name, const VARIANT& value) {
    Property& property = m_properties[Lower(name)];
    VariantClear(&property.value);
    VariantInit(&property.value);
    VariantCopy(&property.value, const_cast<VARIANT*>(&value));
    property.failure = S_OK;
    return *this;
}

FakeObject& FakeObject::SetString(const WCHAR* name, const WCHAR* text) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocString(text);
    Set(name, value);
    VariantClear(&value);
    return *this;
}

FakeObject& FakeObject::SetInt(const WCHAR* name, LONG number) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_I4;
    V_I4(&value) = number;
    return Set(name, value);
}

FakeObject& FakeObject::SetNull(const WCHAR* name) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_NULL;
    return Set(name, value);
}

FakeObject& FakeObject::Fail(const WCHAR* name, HRESULT hr) {
    Property& property = m_properties[Lower(name)];
    VariantClear(&property.value);
    VariantInit(&property.value);
    property.failure = hr;
    return *this;
}

FakeObject& FakeObject::SetMethod(const WCHAR* name, FakeObject* in, FakeObject* out) {
    Method& method = m_methods[Lower(name)];
    if (in != nullptr) {
        in->AddRef();
    }
    if (out != nullptr) {
        out->AddRef();
    }
    method.in = ComRef<FakeObject>(in);
    method.out = ComRef<FakeObject>(out);
    return *this;
}

HRESULT FakeObject::Get(LPCWSTR wszName, LONG, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) {
    if (wszName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    auto found = m_properties.find(Lower(wszName));
    if (found == m_properties.end()) {
        return WBEM_E_NOT_FOUND;
    }
    if (FAILED(found->second.failure)) {
        return found->second.failure;
    }
    if (pVal != nullptr) {
        VariantInit(pVal);
        VariantCopy(pVal, &found->second.value);
    }
    if (pType != nullptr) {
        *pType = V_VT(&found->second.value) == VT_BSTR ? CIM_STRING : CIM_SINT32;
    }
    if (plFlavor != nullptr) {
        *plFlavor = 0;
    }
    return WBEM_S_NO_ERROR;
}

HRESULT FakeObject::GetMethod(LPCWSTR wszName, LONG, IWbemClassObject** ppInSignature,
                              IWbemClassObject** ppOutSignature) {
    if (wszName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    auto found = m_methods.find(Lower(wszName));
    if (found == m_methods.end()) {
        return WBEM_E_NOT_FOUND;
    }
    auto give = [](const ComRef<FakeObject>& object, IWbemClassObject** out) {
        if (out == nullptr) {
            return;
        }
        *out = object.Get();
        if (*out != nullptr) {
            (*out)->AddRef();
        }
    };
    give(found->second.in, ppInSignature);
    give(found->second.out, ppOutSignature);
    return WBEM_S_NO_ERROR;
}

HRESULT FakeObject::GetQualifierSet(IWbemQualifierSet**) {
    return E_NOTIMPL;
}
HRESULT FakeObject::Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) {
    return E_NOTIMPL;
}
HRESULT FakeObject::Delete(LPCWSTR) {
    return E_NOTIMPL;
}
HRESULT FakeObject::GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) {
    return E_NOTIMPL;
}
HRESULT FakeObject::BeginEnumeration(LONG) {
    return E_NOTIMPL;
}
HRESULT FakeObject::Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) {
    return E_NOTIMPL;
}
HRESULT FakeObject::EndEnumeration() {
    return E_NOTIMPL;
}
HRESULT FakeObject::GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) {
    return E_NOTIMPL;
}
HRESULT FakeObject::Clone(IWbemClassObject**) {
    return E_NOTIMPL;
}
HRESULT FakeObject::GetObjectText(LONG, BSTR*) {
    return E_NOTIMPL;
}
HRESULT FakeObject::SpawnDerivedClass(LONG, IWbemClassObject**) {
    return E_NOTIMPL;
}
HRESULT FakeObject::SpawnInstance(LONG, IWbemClassObject**) {
    return E_NOTIMPL;
}
HRESULT FakeObject::CompareTo(LONG, IWbemClassObject*) {
    return E_NOTIMPL;
}
HRESULT FakeObject::GetPropertyOrigin(LPCWSTR, BSTR*) {
    return E_NOTIMPL;
}
HRESULT FakeObject::InheritsFrom(LPCWSTR) {
    return E_NOTIMPL;
}
HRESULT FakeObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) {
    return E_NOTIMPL;
}
HRESULT FakeObject::DeleteMethod(LPCWSTR) {
    return E_NOTIMPL;
}
HRESULT FakeObject::BeginMethodEnumeration(LONG) {
    return E_NOTIMPL;
}
HRESULT FakeObject::NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) {
    return E_NOTIMPL;
}
HRESULT FakeObject::EndMethodEnumeration() {
    return E_NOTIMPL;
}
HRESULT FakeObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) {
    return E_NOTIMPL;
}
HRESULT FakeObject::GetMethodOrigin(LPCWSTR, BSTR*) {
    return E_NOTIMPL;
}

// FakeServices

ComRef<FakeServices> FakeServices::Make() {
    return ComRef<FakeServices>(new FakeServices());
}

void FakeServices::AnswerQuery(const WString& query, FakeAnswer answer) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_queries[query] = std::move(answer);
}

void FakeServices::AnswerInstances(const WString& className, FakeAnswer answer) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_instances[Lower(className)] = std::move(answer);
}

void FakeServices::AnswerObject(const WString& path, HRESULT hr, FakeObject* object) {
    if (object != nullptr) {
        object->AddRef();
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_objects[path] = {hr, ComRef<FakeObject>(object)};
}

void FakeServices::AnswerMethod(const WString& path, const WString& method, HRESULT hr,
                                FakeObject* out) {
    if (out != nullptr) {
        out->AddRef();
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_methods[path + TEXT(".") + Lower(method)] = {hr, ComRef<FakeObject>(out)};
}

std::vector<FakeServices::Call> FakeServices::Calls() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_calls;
}

std::vector<WString> FakeServices::Queries() const {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<WString> queries;
    for (const Call& call : m_calls) {
        if (call.what == "ExecQuery" || call.what == "ExecNotificationQuery") {
            queries.push_back(call.text);
        }
    }
    return queries;
}

void FakeServices::Record(Call call) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_calls.push_back(std::move(call));
}

static ComRef<IWbemContext> Held(IWbemContext* context) {
    if (context != nullptr) {
        context->AddRef();
    }
    return ComRef<IWbemContext>(context);
}

HRESULT FakeServices::Enumerate(const char* what, const std::map<WString, FakeAnswer>& answers,
                                const BSTR text, const BSTR language, LONG flags,
                                IWbemContext* context, IEnumWbemClassObject** ppEnum) {
    Record({what, Text(text), Text(language), flags, WString(), Held(context), {}});
    if (ppEnum == nullptr || text == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppEnum = nullptr;
    FakeAnswer answer;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = answers.find(&answers == &m_instances ? Lower(text) : WString(text));
        if (found != answers.end()) {
            answer = found->second;
        }
    }
    if (FAILED(answer.hr)) {
        return answer.hr;
    }
    *ppEnum = new FakeEnum(answer);
    return WBEM_S_NO_ERROR;
}

HRESULT FakeServices::ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) {
    return Enumerate("ExecQuery", m_queries, strQuery, strQueryLanguage, lFlags, pCtx, ppEnum);
}

HRESULT FakeServices::ExecNotificationQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                            LONG lFlags, IWbemContext* pCtx,
                                            IEnumWbemClassObject** ppEnum) {
    return Enumerate("ExecNotificationQuery", m_queries, strQuery, strQueryLanguage, lFlags, pCtx,
                     ppEnum);
}

HRESULT FakeServices::CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                         IEnumWbemClassObject** ppEnum) {
    return Enumerate("CreateInstanceEnum", m_instances, strFilter, nullptr, lFlags, pCtx, ppEnum);
}

HRESULT FakeServices::GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                IWbemClassObject** ppObject, IWbemCallResult** ppCallResult) {
    Record({"GetObject", Text(strObjectPath), WString(), lFlags, WString(), Held(pCtx), {}});
    if (ppCallResult != nullptr) {
        *ppCallResult = nullptr;
    }
    if (ppObject == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppObject = nullptr;
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_objects.find(Text(strObjectPath));
    if (found == m_objects.end()) {
        return WBEM_E_NOT_FOUND;
    }
    *ppObject = found->second.second.Get();
    if (*ppObject != nullptr) {
        (*ppObject)->AddRef();
    }
    return found->second.first;
}

HRESULT FakeServices::ExecMethod(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags,
                                 IWbemContext* pCtx, IWbemClassObject* pInParams,
                                 IWbemClassObject** ppOutParams, IWbemCallResult** ppCallResult) {
    if (pInParams != nullptr) {
        pInParams->AddRef();
    }
    Record({"ExecMethod", Text(strObjectPath), WString(), lFlags, Text(strMethodName), Held(pCtx),
            ComRef<IWbemClassObject>(pInParams)});
    if (ppCallResult != nullptr) {
        *ppCallResult = nullptr;
    }
    if (ppOutParams != nullptr) {
        *ppOutParams = nullptr;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_methods.find(Text(strObjectPath) + TEXT(".") + Lower(Text(strMethodName)));
    if (found == m_methods.end()) {
        return WBEM_E_NOT_FOUND;
    }
    if (ppOutParams != nullptr && found->second.out.Get() != nullptr) {
        *ppOutParams = found->second.out.Get();
        (*ppOutParams)->AddRef();
    }
    return found->second.hr;
}

HRESULT FakeServices::OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                    IWbemCallResult**) {
    return E_NOTIMPL;
}
HRESULT FakeServices::CancelAsyncCall(IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::QueryObjectSink(LONG, IWbemObjectSink**) {
    return E_NOTIMPL;
}
HRESULT FakeServices::GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) {
    return E_NOTIMPL;
}
HRESULT FakeServices::PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) {
    return E_NOTIMPL;
}
HRESULT FakeServices::DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
    return E_NOTIMPL;
}
HRESULT FakeServices::CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) {
    return E_NOTIMPL;
}
HRESULT FakeServices::PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) {
    return E_NOTIMPL;
}
HRESULT FakeServices::DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                     IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                 IWbemObjectSink*) {
    return E_NOTIMPL;
}
HRESULT FakeServices::ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                      IWbemClassObject*, IWbemObjectSink*) {
    return E_NOTIMPL;
}

// FakeServicesProxy

ComRef<FakeServicesProxy> FakeServicesProxy::Make(FakeServices* inner) {
    return ComRef<FakeServicesProxy>(new FakeServicesProxy(inner));
}

FakeServicesProxy::FakeServicesProxy(FakeServices* inner) : ComObject("test::FakeServicesProxy") {
    inner->AddRef();
    m_inner = ComRef<FakeServices>(inner);
}

FakeServicesProxy::Blanket FakeServicesProxy::LastBlanket() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_blanket;
}

HRESULT FakeServicesProxy::QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*,
                                        void**, DWORD*) {
    return E_NOTIMPL;
}
HRESULT FakeServicesProxy::SetBlanket(IUnknown*, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR*,
                                      DWORD dwAuthnLevel, DWORD dwImpLevel, void*,
                                      DWORD dwCapabilities) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_blanket = {m_blanket.sets + 1, dwAuthnSvc, dwAuthzSvc,
                 dwAuthnLevel,       dwImpLevel, dwCapabilities};
    return S_OK;
}
HRESULT FakeServicesProxy::CopyProxy(IUnknown*, IUnknown**) {
    return E_NOTIMPL;
}

HRESULT FakeServicesProxy::OpenNamespace(const BSTR a, LONG b, IWbemContext* c, IWbemServices** d,
                                         IWbemCallResult** e) {
    return m_inner->OpenNamespace(a, b, c, d, e);
}
HRESULT FakeServicesProxy::CancelAsyncCall(IWbemObjectSink* a) {
    return m_inner->CancelAsyncCall(a);
}
HRESULT FakeServicesProxy::QueryObjectSink(LONG a, IWbemObjectSink** b) {
    return m_inner->QueryObjectSink(a, b);
}
HRESULT FakeServicesProxy::GetObject(const BSTR a, LONG b, IWbemContext* c, IWbemClassObject** d,
                                     IWbemCallResult** e) {
    return m_inner->GetObject(a, b, c, d, e);
}
HRESULT FakeServicesProxy::GetObjectAsync(const BSTR a, LONG b, IWbemContext* c,
                                          IWbemObjectSink* d) {
    return m_inner->GetObjectAsync(a, b, c, d);
}
HRESULT FakeServicesProxy::PutClass(IWbemClassObject* a, LONG b, IWbemContext* c,
                                    IWbemCallResult** d) {
    return m_inner->PutClass(a, b, c, d);
}
HRESULT FakeServicesProxy::PutClassAsync(IWbemClassObject* a, LONG b, IWbemContext* c,
                                         IWbemObjectSink* d) {
    return m_inner->PutClassAsync(a, b, c, d);
}
HRESULT FakeServicesProxy::DeleteClass(const BSTR a, LONG b, IWbemContext* c, IWbemCallResult** d) {
    return m_inner->DeleteClass(a, b, c, d);
}
HRESULT FakeServicesProxy::DeleteClassAsync(const BSTR a, LONG b, IWbemContext* c,
                                            IWbemObjectSink* d) {
    return m_inner->DeleteClassAsync(a, b, c, d);
}
HRESULT FakeServicesProxy::CreateClassEnum(const BSTR a, LONG b, IWbemContext* c,
                                           IEnumWbemClassObject** d) {
    return m_inner->CreateClassEnum(a, b, c, d);
}
HRESULT FakeServicesProxy::CreateClassEnumAsync(const BSTR a, LONG b, IWbemContext* c,
                                                IWbemObjectSink* d) {
    return m_inner->CreateClassEnumAsync(a, b, c, d);
}
HRESULT FakeServicesProxy::PutInstance(IWbemClassObject* a, LONG b, IWbemContext* c,
                                       IWbemCallResult** d) {
    return m_inner->PutInstance(a, b, c, d);
}
HRESULT FakeServicesProxy::PutInstanceAsync(IWbemClassObject* a, LONG b, IWbemContext* c,
                                            IWbemObjectSink* d) {
    return m_inner->PutInstanceAsync(a, b, c, d);
}
HRESULT FakeServicesProxy::DeleteInstance(const BSTR a, LONG b, IWbemContext* c,
                                          IWbemCallResult** d) {
    return m_inner->DeleteInstance(a, b, c, d);
}
HRESULT FakeServicesProxy::DeleteInstanceAsync(const BSTR a, LONG b, IWbemContext* c,
                                               IWbemObjectSink* d) {
    return m_inner->DeleteInstanceAsync(a, b, c, d);
}
HRESULT FakeServicesProxy::CreateInstanceEnum(const BSTR a, LONG b, IWbemContext* c,
                                              IEnumWbemClassObject** d) {
    return m_inner->CreateInstanceEnum(a, b, c, d);
}
HRESULT FakeServicesProxy::CreateInstanceEnumAsync(const BSTR a, LONG b, IWbemContext* c,
                                                   IWbemObjectSink* d) {
    return m_inner->CreateInstanceEnumAsync(a, b, c, d);
}
HRESULT FakeServicesProxy::ExecQuery(const BSTR a, const BSTR b, LONG c, IWbemContext* d,
                                     IEnumWbemClassObject** e) {
    return m_inner->ExecQuery(a, b, c, d, e);
}
HRESULT FakeServicesProxy::ExecQueryAsync(const BSTR a, const BSTR b, LONG c, IWbemContext* d,
                                          IWbemObjectSink* e) {
    return m_inner->ExecQueryAsync(a, b, c, d, e);
}
HRESULT FakeServicesProxy::ExecNotificationQuery(const BSTR a, const BSTR b, LONG c,
                                                 IWbemContext* d, IEnumWbemClassObject** e) {
    return m_inner->ExecNotificationQuery(a, b, c, d, e);
}
HRESULT FakeServicesProxy::ExecNotificationQueryAsync(const BSTR a, const BSTR b, LONG c,
                                                      IWbemContext* d, IWbemObjectSink* e) {
    return m_inner->ExecNotificationQueryAsync(a, b, c, d, e);
}
HRESULT FakeServicesProxy::ExecMethod(const BSTR a, const BSTR b, LONG c, IWbemContext* d,
                                      IWbemClassObject* e, IWbemClassObject** f,
                                      IWbemCallResult** g) {
    return m_inner->ExecMethod(a, b, c, d, e, f, g);
}
HRESULT FakeServicesProxy::ExecMethodAsync(const BSTR a, const BSTR b, LONG c, IWbemContext* d,
                                           IWbemClassObject* e, IWbemObjectSink* f) {
    return m_inner->ExecMethodAsync(a, b, c, d, e, f);
}

// FakeContext

ComRef<FakeContext> FakeContext::Make() {
    return ComRef<FakeContext>(new FakeContext());
}

HRESULT FakeContext::SetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pValue) {
    if (wszName == nullptr || pValue == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    Value value{wszName, lFlags, V_VT(pValue), 0};
    if (V_VT(pValue) == VT_BOOL) {
        value.number = V_BOOL(pValue);
    } else if (V_VT(pValue) == VT_I4) {
        value.number = V_I4(pValue);
    }
    m_values.push_back(value);
    return WBEM_S_NO_ERROR;
}

HRESULT FakeContext::Clone(IWbemContext**) {
    return E_NOTIMPL;
}
HRESULT FakeContext::GetNames(LONG, SAFEARRAY**) {
    return E_NOTIMPL;
}
HRESULT FakeContext::BeginEnumeration(LONG) {
    return E_NOTIMPL;
}
HRESULT FakeContext::Next(LONG, BSTR*, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT FakeContext::EndEnumeration() {
    return E_NOTIMPL;
}
HRESULT FakeContext::GetValue(LPCWSTR, LONG, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT FakeContext::DeleteValue(LPCWSTR, LONG) {
    return E_NOTIMPL;
}
HRESULT FakeContext::DeleteAll() {
    return E_NOTIMPL;
}

// The classes

struct FakeLocatorClass::State {
    std::mutex lock;
    std::map<WString, ComRef<IWbemServices>> namespaces;  // keys lower-cased
    std::vector<WString> connects;
};

HRESULT FakeLocator::ConnectServer(const BSTR strNetworkResource, const BSTR, const BSTR,
                                   const BSTR, LONG, const BSTR, IWbemContext*,
                                   IWbemServices** ppNamespace) {
    if (ppNamespace == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppNamespace = nullptr;
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->connects.push_back(Text(strNetworkResource));
    auto found = m_state->namespaces.find(Lower(Text(strNetworkResource)));
    if (found == m_state->namespaces.end()) {
        return WBEM_E_INVALID_NAMESPACE;
    }
    *ppNamespace = found->second.Get();
    (*ppNamespace)->AddRef();
    return WBEM_S_NO_ERROR;
}

FakeLocatorClass::FakeLocatorClass() : m_state(std::make_shared<State>()) {
    std::shared_ptr<State> state = m_state;
    sim::ClassTable::Get().Add(CLSID_WbemLocator, [state](REFIID riid, void** ppv) {
        FakeLocator* locator = new FakeLocator(state);
        HRESULT hr = locator->QueryInterface(riid, ppv);
        locator->Release();
        return hr;
    });
}

FakeLocatorClass::~FakeLocatorClass() {
    sim::ClassTable::Get().Remove(CLSID_WbemLocator);
}

void FakeLocatorClass::AddNamespace(const WString& name, FakeServices* services) {
    services->AddRef();
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->namespaces[Lower(name)] = ComRef<IWbemServices>(services);
}

void FakeLocatorClass::AddNamespace(const WString& name, FakeServicesProxy* proxy) {
    proxy->AddRef();
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->namespaces[Lower(name)] = ComRef<IWbemServices>(proxy);
}

std::vector<WString> FakeLocatorClass::Connects() const {
    std::lock_guard<std::mutex> hold(m_state->lock);
    return m_state->connects;
}

struct FakeContextClass::State {
    std::mutex lock;
    ComRef<FakeContext> last;
};

FakeContextClass::FakeContextClass() : m_state(std::make_shared<State>()) {
    std::shared_ptr<State> state = m_state;
    sim::ClassTable::Get().Add(CLSID_WbemContext, [state](REFIID riid, void** ppv) {
        ComRef<FakeContext> context = FakeContext::Make();
        HRESULT hr = context->QueryInterface(riid, ppv);
        std::lock_guard<std::mutex> hold(state->lock);
        state->last = context;
        return hr;
    });
}

FakeContextClass::~FakeContextClass() {
    sim::ClassTable::Get().Remove(CLSID_WbemContext);
}

ComRef<FakeContext> FakeContextClass::Last() const {
    std::lock_guard<std::mutex> hold(m_state->lock);
    return m_state->last;
}

}  // namespace test
