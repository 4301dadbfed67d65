#include "Support/FakeWbem.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace test {

namespace {

WString Lower(const WString& text) {
    WString lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](WCHAR c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c - 'A' + 'a') : c;
    });
    return lower;
}

WString Text(const WCHAR* text) {
    return text == nullptr ? WString() : WString(text);
}

// A reference of its own to `object`, which may be null.
template <class T>
ComRef<T> Hold(T* object) {
    if (object != nullptr) {
        object->AddRef();
    }
    return ComRef<T>(object);
}

// Gives the caller a reference of its own to `object` (may be null), if it asked for one.
template <class T, class Interface>
void Give(const ComRef<T>& object, Interface** out) {
    if (out != nullptr) {
        *out = object.Get();
        if (*out != nullptr) {
            (*out)->AddRef();
        }
    }
}

// Hands the objects out one at a time, then ends with the answer's end code.
class FakeEnum : public sim::ComObject<IEnumWbemClassObject> {
public:
    explicit FakeEnum(const FakeAnswer& answer)
        : ComObject("test::FakeEnum"), m_objects(answer.objects), m_end(answer.end) {}

    HRESULT STDMETHODCALLTYPE Next(LONG, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override {
        if (apObjects == nullptr || puReturned == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        ULONG given = 0;
        while (given < uCount && m_next < m_objects.size()) {
            Give(m_objects[m_next++], &apObjects[given++]);
        }
        *puReturned = given;
        if (given == uCount) {
            return WBEM_S_NO_ERROR;
        }
        return given > 0 ? WBEM_S_FALSE : m_end;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        m_next = 0;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return E_NOTIMPL; }

private:
    ~FakeEnum() override = default;

    std::vector<ComRef<FakeObject>> m_objects;
    size_t m_next = 0;
    HRESULT m_end;
};

}  // namespace

struct FakeLocatorClass::State {
    std::mutex lock;
    std::map<WString, ComRef<IWbemServices>> namespaces;  // keys lower-cased
    std::vector<WString> connects;
};

namespace {

class FakeLocator : public sim::ComObject<IWbemLocator> {
public:
    explicit FakeLocator(std::shared_ptr<FakeLocatorClass::State> state)
        : ComObject("test::FakeLocator"), m_state(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE ConnectServer(BSTR strNetworkResource, BSTR, BSTR, BSTR, LONG, BSTR,
                                            IWbemContext*, IWbemServices** ppNamespace) override {
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
        Give(found->second, ppNamespace);
        return WBEM_S_NO_ERROR;
    }

private:
    ~FakeLocator() override = default;

    std::shared_ptr<FakeLocatorClass::State> m_state;
};

}  // namespace

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
    m_methods[Lower(name)] = {Hold(in), Hold(out)};
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
    Give(found->second.in, ppInSignature);
    Give(found->second.out, ppOutSignature);
    return WBEM_S_NO_ERROR;
}

// FakeServices

ComRef<FakeServices> FakeServices::Make() {
    return ComRef<FakeServices>(new FakeServices());
}

void FakeServices::AnswerInstances(const WString& className, FakeAnswer answer) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_instances[Lower(className)] = std::move(answer);
}

void FakeServices::AnswerObject(const WString& path, HRESULT hr, FakeObject* object) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_objects[path] = {hr, Hold(object)};
}

void FakeServices::AnswerMethod(const WString& path, const WString& method, HRESULT hr,
                                FakeObject* out) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_methods[path + TEXT(".") + Lower(method)] = {hr, Hold(out)};
}

std::vector<FakeServices::Call> FakeServices::Calls() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_calls;
}

void FakeServices::Record(Call call) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_calls.push_back(std::move(call));
}

HRESULT FakeServices::CreateInstanceEnum(BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                         IEnumWbemClassObject** ppEnum) {
    Record({"CreateInstanceEnum", Text(strFilter), lFlags, WString(), Hold(pCtx), {}});
    if (ppEnum == nullptr || strFilter == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppEnum = nullptr;
    FakeAnswer answer;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_instances.find(Lower(strFilter));
        if (found != m_instances.end()) {
            answer = found->second;
        }
    }
    if (FAILED(answer.hr)) {
        return answer.hr;
    }
    *ppEnum = new FakeEnum(answer);
    return WBEM_S_NO_ERROR;
}

HRESULT FakeServices::GetObject(BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                IWbemClassObject** ppObject, IWbemCallResult** ppCallResult) {
    Record({"GetObject", Text(strObjectPath), lFlags, WString(), Hold(pCtx), {}});
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
    Give(found->second.object, ppObject);
    return found->second.hr;
}

HRESULT FakeServices::ExecMethod(BSTR strObjectPath, BSTR strMethodName, LONG lFlags,
                                 IWbemContext* pCtx, IWbemClassObject* pInParams,
                                 IWbemClassObject** ppOutParams, IWbemCallResult** ppCallResult) {
    Record({"ExecMethod", Text(strObjectPath), lFlags, Text(strMethodName), Hold(pCtx),
            Hold(pInParams)});
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
    Give(found->second.object, ppOutParams);
    return found->second.hr;
}

// FakeServicesProxy

ComRef<FakeServicesProxy> FakeServicesProxy::Make(IWbemServices* inner) {
    return ComRef<FakeServicesProxy>(new FakeServicesProxy(inner));
}

FakeServicesProxy::FakeServicesProxy(IWbemServices* inner)
    : ComObject("test::FakeServicesProxy"), m_inner(Hold(inner)) {}

std::vector<FakeServicesProxy::Query> FakeServicesProxy::Queries() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_queries;
}

HRESULT FakeServicesProxy::ExecQuery(BSTR strQueryLanguage, BSTR strQuery, LONG lFlags,
                                     IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_queries.push_back({Text(strQuery), Text(strQueryLanguage), lFlags});
    }
    return m_inner->ExecQuery(strQueryLanguage, strQuery, lFlags, pCtx, ppEnum);
}

FakeServicesProxy::Blanket FakeServicesProxy::LastBlanket() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_blanket;
}

HRESULT FakeServicesProxy::SetBlanket(IUnknown*, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR*,
                                      DWORD dwAuthnLevel, DWORD dwImpLevel, void*,
                                      DWORD dwCapabilities) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_blanket = {m_blanket.sets + 1, dwAuthnSvc, dwAuthzSvc,
                 dwAuthnLevel,       dwImpLevel, dwCapabilities};
    return S_OK;
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

// The classes

FakeLocatorClass::FakeLocatorClass() : m_state(std::make_shared<State>()) {
    std::shared_ptr<State> state = m_state;
    sim::ClassTable::Get().Add(CLSID_WbemLocator, [state](REFIID riid, void** ppv) {
        ComRef<FakeLocator> locator(new FakeLocator(state));
        return locator->QueryInterface(riid, ppv);
    });
}

FakeLocatorClass::~FakeLocatorClass() {
    sim::ClassTable::Get().Remove(CLSID_WbemLocator);
}

void FakeLocatorClass::AddNamespace(const WString& name, FakeServices* services) {
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->namespaces[Lower(name)] = Hold<IWbemServices>(services);
}

void FakeLocatorClass::AddNamespace(const WString& name, FakeServicesProxy* proxy) {
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->namespaces[Lower(name)] = Hold<IWbemServices>(proxy);
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

void ExpectLedgerUnchanged(const sim::LedgerSnapshot& before) {
    sim::LedgerSnapshot after = sim::LeakLedger::Get().Snapshot();
    EXPECT_EQ(before.leaked, after.leaked);
    EXPECT_EQ(before.objects, after.objects);
    EXPECT_EQ(before.strings, after.strings);
    EXPECT_EQ(before.arrays, after.arrays);
    EXPECT_EQ(before.badFrees, after.badFrees);
}

}  // namespace test
