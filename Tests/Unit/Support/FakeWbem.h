// What WMI doubles the unit tests still need: a proxy that stands in front of the machine's
// namespace and records the queries sent through it, and a check of the leak ledger.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <wbemidl.h>

#include "Machine/Com/ComRuntime.h"
#include "Machine/Wmi/WmiObjects.h"

#include <mutex>
#include <string>
#include <vector>

namespace test {

using WString = std::basic_string<WCHAR>;

// Every call goes through to the namespace it stands in front of; the queries are recorded.
class FakeServicesProxy : public sim::ComObject<IWbemServices> {
public:
    static sim::ComHold<FakeServicesProxy> Make(IWbemServices* inner);

    struct Query {
        WString text, language;
        LONG flags;
    };
    std::vector<Query> Queries() const;

    HRESULT STDMETHODCALLTYPE ExecQuery(BSTR a, BSTR b, LONG c, IWbemContext* d,
                                        IEnumWbemClassObject** e) override;

    HRESULT STDMETHODCALLTYPE GetObject(BSTR a, LONG b, IWbemContext* c, IWbemClassObject** d,
                                        IWbemCallResult** e) override {
        return m_inner->GetObject(a, b, c, d, e);
    }

// What the Hyper-V monitor never calls answers E_NOTIMPL.
#define FAKE_WBEM_NOTIMPL(name, ...)                       \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
        return E_NOTIMPL;                                  \
    }
    FAKE_WBEM_NOTIMPL(OpenNamespace, BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**)
    FAKE_WBEM_NOTIMPL(CancelAsyncCall, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(QueryObjectSink, LONG, IWbemObjectSink**)
    FAKE_WBEM_NOTIMPL(GetObjectAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(PutClass, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    FAKE_WBEM_NOTIMPL(PutClassAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(DeleteClass, BSTR, LONG, IWbemContext*, IWbemCallResult**)
    FAKE_WBEM_NOTIMPL(DeleteClassAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(CreateClassEnum, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    FAKE_WBEM_NOTIMPL(CreateClassEnumAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(PutInstance, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    FAKE_WBEM_NOTIMPL(PutInstanceAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(DeleteInstance, BSTR, LONG, IWbemContext*, IWbemCallResult**)
    FAKE_WBEM_NOTIMPL(DeleteInstanceAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(CreateInstanceEnum, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    FAKE_WBEM_NOTIMPL(CreateInstanceEnumAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(ExecQueryAsync, BSTR, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(ExecNotificationQuery, BSTR, BSTR, LONG, IWbemContext*,
                      IEnumWbemClassObject**)
    FAKE_WBEM_NOTIMPL(ExecNotificationQueryAsync, BSTR, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    FAKE_WBEM_NOTIMPL(ExecMethod, BSTR, BSTR, LONG, IWbemContext*, IWbemClassObject*,
                      IWbemClassObject**, IWbemCallResult**)
    FAKE_WBEM_NOTIMPL(ExecMethodAsync, BSTR, BSTR, LONG, IWbemContext*, IWbemClassObject*,
                      IWbemObjectSink*)
#undef FAKE_WBEM_NOTIMPL

private:
    explicit FakeServicesProxy(IWbemServices* inner);
    ~FakeServicesProxy() override;

    IWbemServices* m_inner;
    mutable std::mutex m_lock;
    std::vector<Query> m_queries;
};

// Fails the test when live COM objects, BSTRs or safe arrays, or double frees, differ from
// `before`.
void ExpectLedgerUnchanged(const sim::LedgerSnapshot& before);

}  // namespace test
