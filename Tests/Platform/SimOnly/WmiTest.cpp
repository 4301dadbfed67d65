// The machine's WMI through its COM interfaces, on the example Hyper-V hosts and a virtual clock:
// the service's exact queries, Windows' error codes, event subscriptions and WMI restarts.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include "Machine/Clock/Clock.h"
#include "Machine/Com/ComRuntime.h"
#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Machine.h"
#include "Machine/Wmi/Wmi.h"
#include "Machine/Wmi/WmiObjects.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <tuple>
#include <string>
#include <vector>

namespace {

using sim::ComHold;
using Text = std::u16string;

const Text kEventQueryV2 =
    u"SELECT * FROM __InstanceOperationEvent WITHIN 10 WHERE (TargetInstance ISA "
    u"'Msvm_ExternalEthernetPort') OR (TargetInstance ISA 'Msvm_VLANEndpoint') OR "
    u"(TargetInstance ISA 'Msvm_SyntheticEthernetPort') OR (TargetInstance ISA "
    u"'Msvm_ComputerSystem') OR (TargetInstance ISA 'Msvm_EthernetSwitchPortVlanSettingData')";
const Text kPortQuery =
    u"SELECT * FROM Msvm_ExternalEthernetPort WHERE  IsBound=true AND LinkTechnology=2";

// An example machine's machine.json on the virtual clock.
std::string ExampleOnVirtualClock(const std::string& name) {
    std::ifstream in(std::string(TARVIK_EXAMPLES_DIR) + "/" + name + "/machine.json");
    std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t clock = json.find("\"clock\": {");
    json.insert(clock + 10, "\"mode\": \"virtual\", ");
    return json;
}

struct Bstr {
    explicit Bstr(const Text& text) : b(SysAllocString(text.c_str())) {}
    ~Bstr() { SysFreeString(b); }
    operator BSTR() const { return b; }
    BSTR b;
};

// A call's failure as the rows name it.
std::string Failed(const char* call, HRESULT hr) {
    return std::string(call) + " " + std::to_string(hr);
}

class Wmi : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(NULL, COINIT_MULTITHREADED));
        m_ledger = sim::LeakLedger::Get().Snapshot();
    }
    void TearDown() override {
        CoUninitialize();
        sim::LedgerSnapshot now = sim::LeakLedger::Get().Snapshot();
        EXPECT_EQ(std::make_tuple(m_ledger.objects, m_ledger.strings, m_ledger.badFrees),
                  std::make_tuple(now.objects, now.strings, now.badFrees));
    }

    static HRESULT Connect(const Text& nameSpace, ComHold<IWbemServices>* services) {
        IWbemLocator* raw = nullptr;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_WbemLocator, NULL, CLSCTX_INPROC_SERVER,
                                         IID_IWbemLocator, reinterpret_cast<void**>(&raw)));
        ComHold<IWbemLocator> locator(raw);
        IWbemServices* connected = nullptr;
        HRESULT hr =
            raw->ConnectServer(Bstr(nameSpace), NULL, NULL, NULL, 0, NULL, NULL, &connected);
        *services = ComHold<IWbemServices>(connected);
        return hr;
    }

    // A semisynchronous query's objects by ElementName, joined by commas, or the call that failed.
    static std::string Query(IWbemServices* services, const Text& text) {
        IEnumWbemClassObject* raw = nullptr;
        HRESULT hr = services->ExecQuery(Bstr(u"WQL"), Bstr(text), 0x30, NULL, &raw);
        if (FAILED(hr)) {
            return Failed("ExecQuery", hr);
        }
        ComHold<IEnumWbemClassObject> results(raw);
        for (std::string names;;) {
            // A failed Next leaves the caller's pointer as it was.
            IWbemClassObject* object = reinterpret_cast<IWbemClassObject*>(0x10);
            ULONG returned = 0;
            hr = results.Get()->Next(WBEM_INFINITE, 1, &object, &returned);
            if (returned == 0) {
                EXPECT_EQ(object, reinterpret_cast<IWbemClassObject*>(0x10));
                return hr == WBEM_S_FALSE ? names : Failed("Next", hr);
            }
            ComHold<IWbemClassObject> hold(object);
            names += (names.empty() ? "" : ",") + Property(object, u"ElementName");
        }
    }

    static std::string Property(IWbemClassObject* object, const Text& name) {
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(WBEM_S_NO_ERROR, object->Get(name.c_str(), 0, &value, NULL, NULL));
        std::string text = V_VT(&value) == VT_BSTR ? sim::Utf16ToUtf8(V_BSTR(&value)) : "(no text)";
        VariantClear(&value);
        return text;
    }

    static ComHold<IEnumWbemClassObject> Subscribe(IWbemServices* services) {
        IEnumWbemClassObject* raw = nullptr;
        EXPECT_EQ(WBEM_S_NO_ERROR, services->ExecNotificationQuery(
                                       Bstr(u"WQL"), Bstr(kEventQueryV2), 0x30, NULL, &raw));
        return ComHold<IEnumWbemClassObject>(raw);
    }

    // One Next of `timeoutMs`: its result, and the event's class and target's class.
    static HRESULT NextEvent(IEnumWbemClassObject* events, LONG timeoutMs, std::string* what) {
        IWbemClassObject* event = nullptr;
        ULONG returned = 0;
        HRESULT hr = events->Next(timeoutMs, 1, &event, &returned);
        if (returned == 1) {
            ComHold<IWbemClassObject> hold(event);
            VARIANT target;
            VariantInit(&target);
            EXPECT_EQ(WBEM_S_NO_ERROR, event->Get(u"TargetInstance", 0, &target, NULL, NULL));
            IWbemClassObject* instance = nullptr;
            V_UNKNOWN(&target)->QueryInterface(IID_IWbemClassObject,
                                               reinterpret_cast<void**>(&instance));
            *what = Property(event, u"__CLASS") + " " + Property(instance, u"__CLASS");
            instance->Release();
            VariantClear(&target);
        }
        return hr;
    }

    static std::string Change(const std::function<std::string(sim::HyperVTopology&)>& change) {
        return sim::Machine::Get().Wmi().Change(change);
    }

    sim::LedgerSnapshot m_ledger;
};

// The service's queries as it sends them, in both models, and what Windows answers to queries
// that are wrong.
TEST_F(Wmi, QueriesAndErrorsAsWindowsAnswersThem) {
    const Text v1 = u"root\\virtualization", v2 = u"root\\virtualization\\v2";
    const Text vms =
        u"select * from msvm_computersystem where Description <> 'Microsoft Hosting "
        u"Computer System' and not ElementName = 'db-01'";
    // A semisynchronous query's provider failure comes from Next; what stops the call from
    // starting, from ExecQuery itself.
    const struct {
        const char* example;
        Text nameSpace;
        Text query;
        std::string result;
    } rows[] = {
        {"hyperv-v2", u"\\\\.\\ROOT\\Virtualization\\V2", vms, "web-01,web-02,app-01,build-01"},
        {"hyperv-v2", v2, u"SELECT * FROM Msvm_VirtualSwitch",
         Failed("Next", WBEM_E_INVALID_CLASS)},
        {"hyperv-v2", v2, u"SELECT * FROM", Failed("ExecQuery", WBEM_E_INVALID_QUERY)},
        {"hyperv-v2", v2, u"ASSOCIATORS OF {Msvm_ComputerSystem.Name=\"none\"}",
         Failed("Next", WBEM_E_NOT_FOUND)},
        {"hyperv-v2", v1, kPortQuery, Failed("ConnectServer", WBEM_E_INVALID_NAMESPACE)},
        {"hyperv-v1", v1, kPortQuery, "Team A"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(sim::Utf16ToUtf8(row.query));
        test::TestMachine machine(ExampleOnVirtualClock(row.example));
        ComHold<IWbemServices> services;
        HRESULT hr = Connect(row.nameSpace, &services);
        EXPECT_EQ(row.result,
                  FAILED(hr) ? Failed("ConnectServer", hr) : Query(services.Get(), row.query));
    }
}

// Events are delivered at the subscription's polling ticks, every WITHIN seconds from its making:
// a tick sees every change since the last, and none made before the subscription or undone
// before the tick.
TEST_F(Wmi, EventsOnTheVirtualClock) {
    test::TestMachine machine(ExampleOnVirtualClock("hyperv-v2"));
    ComHold<IWbemServices> services;
    ASSERT_EQ(S_OK, Connect(u"root\\virtualization\\v2", &services));
    EXPECT_EQ("", Change([](sim::HyperVTopology& t) { return sim::RemoveVm(t, u"db-01"); }));
    ComHold<IEnumWbemClassObject> events = Subscribe(services.Get());
    std::string what;
    DWORD start = GetTickCount();
    EXPECT_EQ(WBEM_S_TIMEDOUT, NextEvent(events.Get(), 5000, &what));
    EXPECT_EQ(5000u, GetTickCount() - start);

    // A change made by another thread 3 s into an unbounded wait is found at the first tick, 10 s
    // after subscribing. This thread holds time back while it runs, so the change cannot come
    // before the wait.
    sim::Clock::Attachment attached(sim::Machine::Get().Clock());
    test::ScopedHandle changer(CreateThread(
        NULL, 0,
        [](LPVOID) -> DWORD {
            Sleep(3000);
            return Change(
                       [](sim::HyperVTopology& t) { return sim::SetVlan(t, u"web-01", u"A1", 11); })
                .size();
        },
        NULL, 0, NULL));
    start = GetTickCount();
    EXPECT_EQ(WBEM_S_NO_ERROR, NextEvent(events.Get(), WBEM_INFINITE, &what));
    EXPECT_EQ(5000u, GetTickCount() - start);
    EXPECT_EQ("__InstanceModificationEvent Msvm_EthernetSwitchPortVlanSettingData", what);
    WaitForSingleObject(changer, INFINITE);

    // Moved and moved back between two ticks: the next tick sees nothing.
    for (int vlan : {12, 11}) {
        EXPECT_EQ("", Change([vlan](sim::HyperVTopology& t) {
                      return sim::SetVlan(t, u"web-01", u"A1", vlan);
                  }));
    }
    start = GetTickCount();
    EXPECT_EQ(WBEM_S_TIMEDOUT, NextEvent(events.Get(), 12000, &what));
    EXPECT_EQ(12000u, GetTickCount() - start);

    // A burst: each of its changes reaches the one subscription.
    EXPECT_EQ("", Change([](sim::HyperVTopology& t) {
                  return sim::AddVm(t, {u"web-09", u"", {}});
              }));
    EXPECT_EQ("", Change([](sim::HyperVTopology& t) { return sim::RemoveVm(t, u"web-02"); }));
    // All of them at the next tick, 8 s on.
    std::vector<std::string> burst;
    start = GetTickCount();
    for (LONG wait = WBEM_INFINITE; NextEvent(events.Get(), wait, &what) == WBEM_S_NO_ERROR;
         wait = 0) {
        burst.push_back(what);
    }
    EXPECT_EQ(8000u, GetTickCount() - start);
    EXPECT_EQ(std::vector<std::string>({"__InstanceCreationEvent Msvm_ComputerSystem",
                                        "__InstanceDeletionEvent Msvm_ComputerSystem",
                                        "__InstanceDeletionEvent Msvm_SyntheticEthernetPort",
                                        "__InstanceDeletionEvent Msvm_VLANEndpoint",
                                        "__InstanceDeletionEvent "
                                        "Msvm_EthernetSwitchPortVlanSettingData"}),
              burst);
}

// WMI stopped: the next connection starts it again, unless the service database disables it; a
// connection and a subscription made before stay broken.
TEST_F(Wmi, ARestartBreaksWhatWasMadeBefore) {
    test::TestMachine machine(ExampleOnVirtualClock("hyperv-v2"));
    ComHold<IWbemServices> before;
    ASSERT_EQ(S_OK, Connect(u"root\\virtualization\\v2", &before));
    ComHold<IEnumWbemClassObject> events = Subscribe(before.Get());
    EXPECT_EQ("", Change([](sim::HyperVTopology& t) { return sim::StopWmi(t); }));
    for (DWORD start : {SERVICE_DISABLED, SERVICE_AUTO_START}) {
        ASSERT_EQ(ERROR_SUCCESS,
                  test::SetDword(u"SYSTEM\\CurrentControlSet\\Services\\Winmgmt", u"Start", start));
        ComHold<IWbemServices> during;
        EXPECT_EQ(start == SERVICE_DISABLED ? static_cast<HRESULT>(0x80070422) : S_OK,
                  Connect(u"root\\virtualization\\v2", &during));
        EXPECT_EQ(start != SERVICE_DISABLED, sim::Machine::Get().Wmi().Topology()->wmiRunning);
    }
    std::string what;
    DWORD start = GetTickCount();
    EXPECT_EQ(static_cast<HRESULT>(0x80010108), NextEvent(events.Get(), 5000, &what));
    EXPECT_EQ(0u, GetTickCount() - start);
    EXPECT_EQ(Failed("ExecQuery", static_cast<HRESULT>(0x80010108)),
              Query(before.Get(), kPortQuery));
    ComHold<IWbemServices> after;
    ASSERT_EQ(S_OK, Connect(u"root\\virtualization\\v2", &after));
    EXPECT_EQ("Team A,Team B", Query(after.Get(), kPortQuery));
}

}  // namespace
