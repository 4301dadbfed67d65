// The leak ledger: forgotten references, strings and arrays are counted per process; what the
// global interface table holds is reported apart; a process can leave the count on its machine.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include "Machine/ComRuntime.h"
#include "Machine/Faults.h"
#include "Machine/Machine.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

// {0C9E5A51-7B1D-4F3A-8E27-61D4B0A9C3F2}: a class the test adds to the machine.
const CLSID kLeakyClass = {
    0x0c9e5a51, 0x7b1d, 0x4f3a, {0x8e, 0x27, 0x61, 0xd4, 0xb0, 0xa9, 0xc3, 0xf2}};

class Leaky : public sim::ComObject<IUnknown> {
public:
    Leaky() : ComObject("Leaky") {}
};

class LeakLedgerTest : public testing::Test {
protected:
    void SetUp() override {
        sim::ClassTable::Get().Add(kLeakyClass, [](REFIID riid, void** ppv) {
            Leaky* object = new Leaky();
            HRESULT hr = object->QueryInterface(riid, ppv);
            object->Release();
            return hr;
        });
        ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    }
    void TearDown() override {
        CoUninitialize();
        sim::ClassTable::Get().Remove(kLeakyClass);
    }

    IUnknown* Create() {
        IUnknown* object = nullptr;
        EXPECT_EQ(CoCreateInstance(kLeakyClass, NULL, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        return object;
    }

    test::TestMachine m_machine;
};

// What the ledger counts now against `before`, one line, so every count that differs shows.
std::string Change(const sim::LedgerSnapshot& before) {
    sim::LedgerSnapshot now = sim::LeakLedger::Get().Snapshot();
    auto delta = [](size_t a, size_t b) { return std::to_string(long(a) - long(b)); };
    return "objects " + delta(now.objects, before.objects) + ", strings " +
           delta(now.strings, before.strings) + ", arrays " + delta(now.arrays, before.arrays) +
           ", bad frees " + delta(now.badFrees, before.badFrees) + ", table " +
           delta(now.globalTable, before.globalTable);
}

TEST_F(LeakLedgerTest, CatchesForgottenReleaseStringAndArray) {
    sim::LedgerSnapshot before = sim::LeakLedger::Get().Snapshot();
    IUnknown* object = Create();
    IUnknown* second = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&second)), S_OK);
    object->Release();  // `second` is forgotten
    BSTR string = SysAllocString(TEXT("forgotten"));
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 3);
    EXPECT_EQ("objects 1, strings 1, arrays 1, bad frees 0, table 0", Change(before));
    sim::LedgerSnapshot leaking = sim::LeakLedger::Get().Snapshot();
    EXPECT_EQ(std::count(leaking.leaked.begin(), leaking.leaked.end(), "Leaky"), 1);
    second->Release();
    SysFreeString(string);
    SafeArrayDestroy(array);
    EXPECT_EQ("objects 0, strings 0, arrays 0, bad frees 0, table 0", Change(before));

    // What a VARIANT owns goes with VariantClear; a second free is counted, not done.
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(TEXT("owned"));
    BSTR stale = value.bstrVal;
    EXPECT_EQ(VariantClear(&value), S_OK);
    SysFreeString(stale);
    EXPECT_EQ("objects 0, strings 0, arrays 0, bad frees 1, table 0", Change(before));
}

TEST_F(LeakLedgerTest, GlobalInterfaceTableHoldingsAreReportedApart) {
    sim::LedgerSnapshot before = sim::LeakLedger::Get().Snapshot();
    IGlobalInterfaceTable* table = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table)),
              S_OK);
    IUnknown* object = Create();
    DWORD cookie = 0;
    ASSERT_EQ(table->RegisterInterfaceInGlobal(object, IID_IUnknown, &cookie), S_OK);
    EXPECT_EQ("objects 1, strings 0, arrays 0, bad frees 0, table 1", Change(before));
    object->Release();
    // Only the table holds it: no leak.
    EXPECT_EQ("objects 0, strings 0, arrays 0, bad frees 0, table 1", Change(before));
    IUnknown* borrowed = nullptr;
    ASSERT_EQ(
        table->GetInterfaceFromGlobal(cookie, IID_IUnknown, reinterpret_cast<void**>(&borrowed)),
        S_OK);
    EXPECT_EQ("objects 1, strings 0, arrays 0, bad frees 0, table 1", Change(before));
    borrowed->Release();
    EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ("objects 0, strings 0, arrays 0, bad frees 0, table 0", Change(before));
    table->Release();
}

TEST_F(LeakLedgerTest, ProcessLeavesItsLedgerOnTheMachineAtExit) {
    std::string machineDir = sim::Machine::Get().Dir();
    EXPECT_EXIT(
        {
            sim::LeakLedger::Get().RecordAtExit();
            Create();  // never released
            SysAllocString(TEXT("never freed"));
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    std::vector<std::string> records = sim::Machine::Get().Records("com-ledger.jsonl");
    ASSERT_EQ(records.size(), 1u);
    const std::string& record = records[0];
    EXPECT_NE(record.find("\"leaked\":[\"Leaky\"]"), std::string::npos) << record;
    EXPECT_NE(record.find("\"objects\":1,"), std::string::npos) << record;
    EXPECT_NE(record.find("\"process\":"), std::string::npos) << record;
    // The child's string is counted: the parent left none of its own alive.
    sim::LedgerSnapshot parent = sim::LeakLedger::Get().Snapshot();
    EXPECT_NE(record.find("\"strings\":" + std::to_string(parent.strings + 1) + ","),
              std::string::npos)
        << record;
}

TEST_F(LeakLedgerTest, FacesFailAsTheFaultTableSays) {
    sim::FaultTable& faults = sim::Machine::Get().Faults();
    faults.Add("CoCreateInstance", static_cast<DWORD>(E_OUTOFMEMORY), 1);
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(CoCreateInstance(kLeakyClass, NULL, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
    faults.Add("SysAllocString", 0, 1);
    EXPECT_EQ(SysAllocString(TEXT("x")), nullptr);
    faults.Add("CoInitializeSecurity", static_cast<DWORD>(E_ACCESSDENIED), 1);
    EXPECT_EQ(CoInitializeSecurity(NULL, -1, NULL, NULL, 0, 0, NULL, EOAC_NONE, NULL),
              E_ACCESSDENIED);
    faults.Add("RegisterInterfaceInGlobal", static_cast<DWORD>(E_FAIL), 1);
    DWORD cookie = 0;
    EXPECT_EQ(sim::GlobalInterfaceTable::Get().RegisterInterfaceInGlobal(
                  &sim::GlobalInterfaceTable::Get(), IID_IUnknown, &cookie),
              E_FAIL);
    EXPECT_EQ(cookie, 0u);
    faults.Add("SafeArrayGetUBound", static_cast<DWORD>(E_UNEXPECTED), 1);
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 0);
    LONG upper = 0;
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    SafeArrayDestroy(array);
    faults.Clear();
}

}  // namespace
