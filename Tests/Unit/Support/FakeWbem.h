// WMI doubles for unit tests: class objects with set properties, enumerators over them, and a
// namespace that answers queries by their exact text, so a test sees every query the code builds.
// They are COM objects of the machine, so the leak ledger counts them. A locator can be
// registered under CLSID_WbemLocator for the test's lifetime.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include "Machine/ComRuntime.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace test {

using WString = std::basic_string<WCHAR>;

// Holds one reference to a COM object; releases it on every path.
template <class T>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(T* owned) : m_p(owned) {}  // takes over a reference
    ComRef(const ComRef& other) : m_p(other.m_p) {
        if (m_p != nullptr) {
            m_p->AddRef();
        }
    }
    ComRef& operator=(const ComRef& other) {
        ComRef copy(other);
        std::swap(m_p, copy.m_p);
        return *this;
    }
    ~ComRef() {
        if (m_p != nullptr) {
            m_p->Release();
        }
    }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }

private:
    T* m_p = nullptr;
};

// A class object or instance: properties by name (case-insensitive, as WMI's), and methods with
// their signature objects.
class FakeObject : public sim::ComObject<IWbemClassObject> {
public:
    static ComRef<FakeObject> Make();

    FakeObject& SetString(const WCHAR* name, const WCHAR* text);
    FakeObject& SetInt(const WCHAR* name, LONG value);
    FakeObject& SetNull(const WCHAR* name);
    FakeObject& Set(const WCHAR* name, const VARIANT& value);  // copied
    // Every Get of this property fails with `hr`.
    FakeObject& Fail(const WCHAR* name, HRESULT hr);
    // GetMethod answers with these signatures (either may be null).
    FakeObject& SetMethod(const WCHAR* name, FakeObject* in, FakeObject* out);

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                  LONG* plFlavor) override;
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags,
                                        IWbemClassObject** ppInSignature,
                                        IWbemClassObject** ppOutSignature) override;

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override;
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override;
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override;
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override;
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override;
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override;
    HRESULT STDMETHODCALLTYPE EndEnumeration() override;
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override;
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override;
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override;
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override;
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override;
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*,
                                        IWbemClassObject*) override;
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override;
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override;
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**,
                                         IWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override;
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override;
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override;

private:
    FakeObject() : ComObject("test::FakeObject") {}
    ~FakeObject() override;

    struct Property {
        VARIANT value;
        HRESULT failure;  // S_OK when Get answers with the value
    };
    struct Method {
        ComRef<FakeObject> in, out;
    };
    std::map<WString, Property> m_properties;  // keys lower-cased
    std::map<WString, Method> m_methods;
};

// What a namespace answers to one query, class enumeration or object path.
struct FakeAnswer {
    HRESULT hr = S_OK;  // the call's result; on failure no enumerator is given
    std::vector<ComRef<FakeObject>> objects;
    // Next's result once the objects are used up (WBEM_S_FALSE as WMI gives at the end, or
    // WBEM_S_TIMEDOUT for an event query that waits).
    HRESULT end = WBEM_S_FALSE;
    // An event subscription: Next waits on the machine's clock, for objects not yet due until
    // they are (at most its time-out, then WBEM_S_TIMEDOUT), with none left its whole time-out
    // before it answers `end` (at once for an infinite time-out, which would never return).
    bool waits = false;
    DWORD delayMs = 0;  // with `waits`: the objects are due this long after the subscription
};

// A namespace. Queries (ExecQuery, ExecNotificationQuery) are answered by exact text, instance
// enumerations by class name, GetObject and ExecMethod by object path; anything not set up gives
// an empty enumeration, or WBEM_E_NOT_FOUND for an object. Every call is recorded in order.
class FakeServices : public sim::ComObject<IWbemServices> {
public:
    static ComRef<FakeServices> Make();

    void AnswerQuery(const WString& query, FakeAnswer answer);
    void AnswerInstances(const WString& className, FakeAnswer answer);
    void AnswerObject(const WString& path, HRESULT hr, FakeObject* object);
    // ExecMethod on `path` answers with `hr` and these output parameters (may be null).
    void AnswerMethod(const WString& path, const WString& method, HRESULT hr, FakeObject* out);

    struct Call {
        std::string what;  // "ExecQuery", "ExecNotificationQuery", "CreateInstanceEnum", ...
        WString text;      // the query, class name or path
        WString language;  // of a query
        LONG flags;
        WString method;                  // of ExecMethod
        ComRef<IWbemContext> context;    // as passed
        ComRef<IWbemClassObject> input;  // ExecMethod's input parameters
    };
    std::vector<Call> Calls() const;       // safe while another thread calls the namespace
    std::vector<WString> Queries() const;  // the texts of ExecQuery and ExecNotificationQuery

    HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                        IWbemClassObject** ppObject,
                                        IWbemCallResult** ppCallResult) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags,
                                                 IWbemContext* pCtx,
                                                 IEnumWbemClassObject** ppEnum) override;
    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                        LONG lFlags, IWbemContext* pCtx,
                                        IEnumWbemClassObject** ppEnum) override;
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR strQueryLanguage,
                                                    const BSTR strQuery, LONG lFlags,
                                                    IWbemContext* pCtx,
                                                    IEnumWbemClassObject** ppEnum) override;
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName,
                                         LONG lFlags, IWbemContext* pCtx,
                                         IWbemClassObject* pInParams,
                                         IWbemClassObject** ppOutParams,
                                         IWbemCallResult** ppCallResult) override;

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override;
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*,
                                       IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                                            IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*,
                                          IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*,
                                               IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                              IEnumWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                                   IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                                          IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                               IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*,
                                             IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                                  IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                      IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG,
                                                         IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                              IWbemClassObject*, IWbemObjectSink*) override;

private:
    FakeServices() : ComObject("test::FakeServices") {}
    ~FakeServices() override = default;

    HRESULT Enumerate(const char* what, const std::map<WString, FakeAnswer>& answers,
                      const BSTR text, const BSTR language, LONG flags, IWbemContext* context,
                      IEnumWbemClassObject** ppEnum);
    void Record(Call call);

    struct MethodAnswer {
        HRESULT hr;
        ComRef<FakeObject> out;
    };
    mutable std::mutex m_lock;
    std::map<WString, FakeAnswer> m_queries, m_instances;
    std::map<WString, std::pair<HRESULT, ComRef<FakeObject>>> m_objects;
    std::map<WString, MethodAnswer> m_methods;  // by path + "." + method
    std::vector<Call> m_calls;
};

// WMI hands a client a proxy for its namespace, and only a proxy takes a security blanket
// (CoSetProxyBlanket of an object of this process gives E_NOINTERFACE). This stands in front of
// a FakeServices as the proxy would: every call goes through, and the blankets set are counted.
class FakeServicesProxy : public sim::ComObject<IWbemServices, IClientSecurity> {
public:
    static ComRef<FakeServicesProxy> Make(FakeServices* inner);

    struct Blanket {
        int sets = 0;
        DWORD authn = 0, authz = 0, level = 0, impersonation = 0, capabilities = 0;
    };
    Blanket LastBlanket() const;

    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*,
                                           void**, DWORD*) override;
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                                         OLECHAR* pServerPrincName, DWORD dwAuthnLevel,
                                         DWORD dwImpLevel, void* pAuthInfo,
                                         DWORD dwCapabilities) override;
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override;

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override;
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                        IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*,
                                       IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                                            IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*,
                                          IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*,
                                               IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                              IEnumWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                                   IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                                          IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                               IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*,
                                             IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                                  IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                                 IEnumWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                      IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                        IEnumWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG,
                                                         IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*,
                                         IWbemClassObject*, IWbemClassObject**,
                                         IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                              IWbemClassObject*, IWbemObjectSink*) override;

private:
    explicit FakeServicesProxy(FakeServices* inner);
    ~FakeServicesProxy() override = default;

    ComRef<FakeServices> m_inner;
    mutable std::mutex m_lock;
    Blanket m_blanket;
};

// A call context that keeps the named values set on it, in order.
class FakeContext : public sim::ComObject<IWbemContext> {
public:
    static ComRef<FakeContext> Make();

    struct Value {
        WString name;
        LONG flags;
        VARTYPE type;
        LONG number;  // the value as VT_BOOL or VT_I4
    };
    std::vector<Value> Values() const { return m_values; }

    HRESULT STDMETHODCALLTYPE SetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pValue) override;

    HRESULT STDMETHODCALLTYPE Clone(IWbemContext**) override;
    HRESULT STDMETHODCALLTYPE GetNames(LONG, SAFEARRAY**) override;
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override;
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*) override;
    HRESULT STDMETHODCALLTYPE EndEnumeration() override;
    HRESULT STDMETHODCALLTYPE GetValue(LPCWSTR, LONG, VARIANT*) override;
    HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR, LONG) override;
    HRESULT STDMETHODCALLTYPE DeleteAll() override;

private:
    FakeContext() : ComObject("test::FakeContext") {}
    ~FakeContext() override = default;

    std::vector<Value> m_values;
};

// While it lives, CoCreateInstance of CLSID_WbemLocator gives a locator whose ConnectServer
// answers with the namespaces given here (by name, case-insensitive) and fails with
// WBEM_E_INVALID_NAMESPACE for others. The namespaces asked for are recorded.
class FakeLocatorClass {
public:
    FakeLocatorClass();
    ~FakeLocatorClass();
    FakeLocatorClass(const FakeLocatorClass&) = delete;
    FakeLocatorClass& operator=(const FakeLocatorClass&) = delete;

    void AddNamespace(const WString& name, FakeServices* services);
    // The namespace is given out through a proxy (FakeServicesProxy).
    void AddNamespace(const WString& name, FakeServicesProxy* proxy);
    std::vector<WString> Connects() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// While it lives, CoCreateInstance of CLSID_WbemContext gives a FakeContext; the last one made
// is kept for the test to read.
class FakeContextClass {
public:
    FakeContextClass();
    ~FakeContextClass();
    FakeContextClass(const FakeContextClass&) = delete;
    FakeContextClass& operator=(const FakeContextClass&) = delete;

    ComRef<FakeContext> Last() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

WString Lower(const WString& text);

}  // namespace test
