// WMI doubles for unit tests: class objects with set properties, enumerators over them, a
// namespace that answers by class name and object path, and a proxy that records the queries
// sent through it to any namespace (the machine's too). They are COM objects of the machine, so
// the leak ledger counts them. A locator can be registered under CLSID_WbemLocator for the
// test's lifetime.
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

// What no test calls answers E_NOTIMPL (both macros are undefined at the end of this file).
#define FAKE_WBEM_NOTIMPL(name, ...)                       \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
        return E_NOTIMPL;                                  \
    }
#define FAKE_WBEM_SERVICES_NOTIMPL                                                                \
    FAKE_WBEM_NOTIMPL(OpenNamespace, BSTR, LONG, IWbemContext*, IWbemServices**,                  \
                      IWbemCallResult**)                                                          \
    FAKE_WBEM_NOTIMPL(CancelAsyncCall, IWbemObjectSink*)                                          \
    FAKE_WBEM_NOTIMPL(QueryObjectSink, LONG, IWbemObjectSink**)                                   \
    FAKE_WBEM_NOTIMPL(GetObjectAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)                \
    FAKE_WBEM_NOTIMPL(PutClass, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)        \
    FAKE_WBEM_NOTIMPL(PutClassAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)    \
    FAKE_WBEM_NOTIMPL(DeleteClass, BSTR, LONG, IWbemContext*, IWbemCallResult**)                  \
    FAKE_WBEM_NOTIMPL(DeleteClassAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)              \
    FAKE_WBEM_NOTIMPL(CreateClassEnum, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)         \
    FAKE_WBEM_NOTIMPL(CreateClassEnumAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)          \
    FAKE_WBEM_NOTIMPL(PutInstance, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)     \
    FAKE_WBEM_NOTIMPL(PutInstanceAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) \
    FAKE_WBEM_NOTIMPL(DeleteInstance, BSTR, LONG, IWbemContext*, IWbemCallResult**)               \
    FAKE_WBEM_NOTIMPL(DeleteInstanceAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)           \
    FAKE_WBEM_NOTIMPL(CreateInstanceEnumAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)       \
    FAKE_WBEM_NOTIMPL(ExecQueryAsync, BSTR, BSTR, LONG, IWbemContext*, IWbemObjectSink*)          \
    FAKE_WBEM_NOTIMPL(ExecNotificationQueryAsync, BSTR, BSTR, LONG, IWbemContext*,                \
                      IWbemObjectSink*)                                                           \
    FAKE_WBEM_NOTIMPL(ExecMethodAsync, BSTR, BSTR, LONG, IWbemContext*, IWbemClassObject*,        \
                      IWbemObjectSink*)

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

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR, LONG, VARIANT*, CIMTYPE*, LONG*) override;
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**,
                                        IWbemClassObject**) override;

    FAKE_WBEM_NOTIMPL(GetQualifierSet, IWbemQualifierSet**)
    FAKE_WBEM_NOTIMPL(Put, LPCWSTR, LONG, VARIANT*, CIMTYPE)
    FAKE_WBEM_NOTIMPL(Delete, LPCWSTR)
    FAKE_WBEM_NOTIMPL(GetNames, LPCWSTR, LONG, VARIANT*, SAFEARRAY**)
    FAKE_WBEM_NOTIMPL(BeginEnumeration, LONG)
    FAKE_WBEM_NOTIMPL(Next, LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*)
    FAKE_WBEM_NOTIMPL(EndEnumeration)
    FAKE_WBEM_NOTIMPL(GetPropertyQualifierSet, LPCWSTR, IWbemQualifierSet**)
    FAKE_WBEM_NOTIMPL(Clone, IWbemClassObject**)
    FAKE_WBEM_NOTIMPL(GetObjectText, LONG, BSTR*)
    FAKE_WBEM_NOTIMPL(SpawnDerivedClass, LONG, IWbemClassObject**)
    FAKE_WBEM_NOTIMPL(SpawnInstance, LONG, IWbemClassObject**)
    FAKE_WBEM_NOTIMPL(CompareTo, LONG, IWbemClassObject*)
    FAKE_WBEM_NOTIMPL(GetPropertyOrigin, LPCWSTR, BSTR*)
    FAKE_WBEM_NOTIMPL(InheritsFrom, LPCWSTR)
    FAKE_WBEM_NOTIMPL(PutMethod, LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*)
    FAKE_WBEM_NOTIMPL(DeleteMethod, LPCWSTR)
    FAKE_WBEM_NOTIMPL(BeginMethodEnumeration, LONG)
    FAKE_WBEM_NOTIMPL(NextMethod, LONG, BSTR*, IWbemClassObject**, IWbemClassObject**)
    FAKE_WBEM_NOTIMPL(EndMethodEnumeration)
    FAKE_WBEM_NOTIMPL(GetMethodQualifierSet, LPCWSTR, IWbemQualifierSet**)
    FAKE_WBEM_NOTIMPL(GetMethodOrigin, LPCWSTR, BSTR*)

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

// What a namespace answers to one class enumeration.
struct FakeAnswer {
    HRESULT hr = S_OK;  // the call's result; on failure no enumerator is given
    std::vector<ComRef<FakeObject>> objects;
    HRESULT end = WBEM_S_FALSE;  // Next's result once the objects are used up
};

// A namespace. Instance enumerations are answered by class name, GetObject and ExecMethod by
// object path; anything not set up gives an empty enumeration, or WBEM_E_NOT_FOUND for an object.
// Every call is recorded in order.
class FakeServices : public sim::ComObject<IWbemServices> {
public:
    static ComRef<FakeServices> Make();

    void AnswerInstances(const WString& className, FakeAnswer answer);
    void AnswerObject(const WString& path, HRESULT hr, FakeObject* object);
    // ExecMethod on `path` answers with `hr` and these output parameters (may be null).
    void AnswerMethod(const WString& path, const WString& method, HRESULT hr, FakeObject* out);

    struct Call {
        std::string what;  // "CreateInstanceEnum", "GetObject" or "ExecMethod"
        WString text;      // the class name or path
        LONG flags;
        WString method;                  // of ExecMethod
        ComRef<IWbemContext> context;    // as passed
        ComRef<IWbemClassObject> input;  // ExecMethod's input parameters
    };
    std::vector<Call> Calls() const;

    HRESULT STDMETHODCALLTYPE GetObject(BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                        IWbemCallResult**) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(BSTR, LONG, IWbemContext*,
                                                 IEnumWbemClassObject**) override;
    HRESULT STDMETHODCALLTYPE ExecMethod(BSTR, BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                         IWbemClassObject**, IWbemCallResult**) override;
    FAKE_WBEM_NOTIMPL(ExecQuery, BSTR, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    FAKE_WBEM_NOTIMPL(ExecNotificationQuery, BSTR, BSTR, LONG, IWbemContext*,
                      IEnumWbemClassObject**)
    FAKE_WBEM_SERVICES_NOTIMPL

private:
    FakeServices() : ComObject("test::FakeServices") {}
    ~FakeServices() override = default;

    void Record(Call call);

    struct PathAnswer {
        HRESULT hr;
        ComRef<FakeObject> object;
    };
    mutable std::mutex m_lock;
    std::map<WString, FakeAnswer> m_instances;
    std::map<WString, PathAnswer> m_objects;
    std::map<WString, PathAnswer> m_methods;  // by path + "." + method
    std::vector<Call> m_calls;
};

// WMI hands a client a proxy for its namespace, and only a proxy takes a security blanket
// (CoSetProxyBlanket of an object of this process gives E_NOINTERFACE). This stands in front of
// a namespace as the proxy would: every call goes through, the blankets set are counted and the
// queries are recorded in order.
class FakeServicesProxy : public sim::ComObject<IWbemServices, IClientSecurity> {
public:
    static ComRef<FakeServicesProxy> Make(IWbemServices* inner);

    struct Blanket {
        int sets = 0;
        DWORD authn = 0, authz = 0, level = 0, impersonation = 0, capabilities = 0;
    };
    Blanket LastBlanket() const;

    struct Query {
        WString text, language;
        LONG flags;
    };
    std::vector<Query> Queries() const;

    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*,
                                         DWORD) override;
    FAKE_WBEM_NOTIMPL(QueryBlanket, IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                      DWORD*)
    FAKE_WBEM_NOTIMPL(CopyProxy, IUnknown*, IUnknown**)

    // The calls a namespace here answers go through; the rest answer E_NOTIMPL.
    HRESULT STDMETHODCALLTYPE GetObject(BSTR a, LONG b, IWbemContext* c, IWbemClassObject** d,
                                        IWbemCallResult** e) override {
        return m_inner->GetObject(a, b, c, d, e);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(BSTR a, LONG b, IWbemContext* c,
                                                 IEnumWbemClassObject** d) override {
        return m_inner->CreateInstanceEnum(a, b, c, d);
    }
    HRESULT STDMETHODCALLTYPE ExecQuery(BSTR a, BSTR b, LONG c, IWbemContext* d,
                                        IEnumWbemClassObject** e) override;
    HRESULT STDMETHODCALLTYPE ExecMethod(BSTR a, BSTR b, LONG c, IWbemContext* d,
                                         IWbemClassObject* e, IWbemClassObject** f,
                                         IWbemCallResult** g) override {
        return m_inner->ExecMethod(a, b, c, d, e, f, g);
    }
    FAKE_WBEM_NOTIMPL(ExecNotificationQuery, BSTR, BSTR, LONG, IWbemContext*,
                      IEnumWbemClassObject**)
    FAKE_WBEM_SERVICES_NOTIMPL

private:
    explicit FakeServicesProxy(IWbemServices* inner);
    ~FakeServicesProxy() override = default;

    ComRef<IWbemServices> m_inner;
    mutable std::mutex m_lock;
    Blanket m_blanket;
    std::vector<Query> m_queries;
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

    FAKE_WBEM_NOTIMPL(Clone, IWbemContext**)
    FAKE_WBEM_NOTIMPL(GetNames, LONG, SAFEARRAY**)
    FAKE_WBEM_NOTIMPL(BeginEnumeration, LONG)
    FAKE_WBEM_NOTIMPL(Next, LONG, BSTR*, VARIANT*)
    FAKE_WBEM_NOTIMPL(EndEnumeration)
    FAKE_WBEM_NOTIMPL(GetValue, LPCWSTR, LONG, VARIANT*)
    FAKE_WBEM_NOTIMPL(DeleteValue, LPCWSTR, LONG)
    FAKE_WBEM_NOTIMPL(DeleteAll)

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

// Fails the test when live COM objects, BSTRs or safe arrays, or double frees, differ from
// `before`.
void ExpectLedgerUnchanged(const sim::LedgerSnapshot& before);

}  // namespace test

#undef FAKE_WBEM_SERVICES_NOTIMPL
#undef FAKE_WBEM_NOTIMPL
