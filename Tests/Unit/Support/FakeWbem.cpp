#include "Support/FakeWbem.h"

#include <gtest/gtest.h>

namespace test {

sim::ComHold<FakeServicesProxy> FakeServicesProxy::Make(IWbemServices* inner) {
    return sim::ComHold<FakeServicesProxy>(new FakeServicesProxy(inner));
}

FakeServicesProxy::FakeServicesProxy(IWbemServices* inner)
    : ComObject("test::FakeServicesProxy"), m_inner(inner) {
    m_inner->AddRef();
}

FakeServicesProxy::~FakeServicesProxy() {
    m_inner->Release();
}

std::vector<FakeServicesProxy::Query> FakeServicesProxy::Queries() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_queries;
}

HRESULT FakeServicesProxy::ExecQuery(BSTR strQueryLanguage, BSTR strQuery, LONG lFlags,
                                     IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_queries.push_back({strQuery, strQueryLanguage, lFlags});
    }
    return m_inner->ExecQuery(strQueryLanguage, strQuery, lFlags, pCtx, ppEnum);
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
