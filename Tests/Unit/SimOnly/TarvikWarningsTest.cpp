// The warnings monitor against WMI doubles of the management provider: the pass with no WMI on
// the machine, a full poll whose warnings reach the event log (eventlog.jsonl) in order, each
// failed step of the connection and of the poll, the context values, the token's privileges,
// the event writer without a source, and what the pass leaves in the leak ledger.
#include "TarvikWarnings.h"

#include "Machine/ComRuntime.h"
#include "Machine/Faults.h"
#include "Machine/Json.h"
#include "Machine/Machine.h"
#include "Support/FakeWbem.h"
#include "Support/Narrow.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"
#include "Support/TraceFiles.h"
#include "Support/TraceTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using test::ComRef;
using test::FakeObject;
using test::FakeServices;
using test::Narrow;
using test::WString;
typedef std::vector<std::string> Lines;

const WCHAR kNamespace[] = TEXT("root\\orvexzel2");
const WCHAR kClass[] = TEXT("Qubra_NetService");
const WCHAR kMethod[] = TEXT("GetTarvikWarnings");
const WCHAR kPath[] = TEXT("\\\\HOST\\root\\orvexzel2:Qubra_NetService.Name=\"B\"");
const char kPathText[] = "\\\\HOST\\root\\orvexzel2:Qubra_NetService.Name=\"B\"";

// The service account holds three privileges, one of them enabled.
const char kMachine[] = R"({"account": {"privileges": [
  {"name": "SeShutdownPrivilege"}, {"name": "SeDebugPrivilege", "enabled": true},
  {"name": "SeBackupPrivilege"}]}})";

// The management provider while it lives: the namespace with one instance of the service class
// at kPath, the class with its method, and the method's answer of warnings. Tests change parts.
// The namespace is given out through a proxy, as WMI does, or without one (it then refuses a
// blanket), or not at all.
class Provider {
public:
    enum Namespace { kProxy, kInProcess, kNone };
    explicit Provider(Namespace space = kProxy)
        : services(FakeServices::Make()),
          proxy(test::FakeServicesProxy::Make(services.Get())),
          netClass(FakeObject::Make()),
          outSignature(FakeObject::Make()),
          outParams(FakeObject::Make()) {
        netClass->SetMethod(kMethod, nullptr, outSignature.Get());
        services->AnswerObject(kClass, S_OK, netClass.Get());
        SetInstances({kPath});
        services->AnswerMethod(kPath, kMethod, S_OK, outParams.Get());
        SetWarnings({Warning(TEXT("first"))});
        if (space == kProxy) {
            locator.AddNamespace(kNamespace, proxy.Get());
        } else if (space == kInProcess) {
            locator.AddNamespace(kNamespace, services.Get());
        }
    }

    static ComRef<FakeObject> Warning(const WCHAR* text, bool withReserved2 = true) {
        ComRef<FakeObject> warning = FakeObject::Make();
        warning->SetInt(TEXT("ErrorCode"), 0x2001)
            .SetString(TEXT("MessageText"), text)
            .SetInt(TEXT("MessageType"), 2)
            .SetInt(TEXT("MessageAction"), 1)
            .SetInt(TEXT("reserved"), 0);
        if (withReserved2) {
            warning->SetString(TEXT("reserved2"), TEXT(""));
        }
        return warning;
    }
    // The instances of the service class, in enumeration order, by path (null: no "__PATH").
    void SetInstances(const std::vector<const WCHAR*>& paths) {
        test::FakeAnswer answer;
        for (const WCHAR* path : paths) {
            ComRef<FakeObject> instance = FakeObject::Make();
            if (path != nullptr) {
                instance->SetString(TEXT("__PATH"), path);
            }
            answer.objects.push_back(instance);
        }
        services->AnswerInstances(kClass, answer);
    }
    void SetWarnings(const std::vector<ComRef<FakeObject>>& warnings) {
        SAFEARRAY* array =
            SafeArrayCreateVector(VT_UNKNOWN, 0, static_cast<ULONG>(warnings.size()));
        for (size_t i = 0; i < warnings.size(); ++i) {
            LONG index = static_cast<LONG>(i);
            SafeArrayPutElement(array, &index, static_cast<IUnknown*>(warnings[i].Get()));
        }
        VARIANT value;
        VariantInit(&value);
        V_VT(&value) = VT_ARRAY | VT_UNKNOWN;
        V_ARRAY(&value) = array;
        outParams->Set(TEXT("WarningMessages"), value);
        VariantClear(&value);
    }

    test::FakeLocatorClass locator;
    ComRef<FakeServices> services;
    ComRef<test::FakeServicesProxy> proxy;
    ComRef<FakeObject> netClass, outSignature, outParams;
};

// The monitor's state and handles, read as a test needs them.
class ObservedWarnings : public TarvikWarnings {
public:
    using GenericMonitor::GetState;
    HANDLE EventLog() const { return m_hEventLog; }
    DWORD Cookie() const { return m_dwNetService; }
    IWbemServices* Services() const { return m_pIWbemService; }
};

const char kErrorLine[] = "Src\\TarvikWarnings (124): ERROR:  Unable to initialize WMI!";
const Lines kSecured = {"Entering TarvikWarnings::InitializeWMI()", "After CoInitializeEx()",
                        "After CoInitializeSecurity()"};
const Lines kConnected = {kSecured[0],
                          kSecured[1],
                          kSecured[2],
                          "After CoCreateInstance()",
                          "After ConnectServer()",
                          "After CoSetProxyBlanket()",
                          "Exiting TarvikWarnings::InitializeWMI() bSuccess=1"};
const Lines kPartialContext = {"Entering TarvikWarnings::ChangeContext()",
                               "Setting for partial data!!", "Else Partial Retrieval!!"};
// The destructor's wait for a worker that has already stopped.
const Lines kDestroyed = {"Entering GenericMonitor::StopMonitor()",
                          "Exiting GenericMonitor::StopMonitor() - Stopped=1"};
const Lines kUninitialized = {"Entering TarvikWarnings::UninitializeWMI()",
                              "Exiting TarvikWarnings::UninitializeWMI(),  bSuccess=1"};

// A context's values in the order set: "name flags type number".
Lines ContextValues(test::FakeContext& context) {
    Lines values;
    for (const test::FakeContext::Value& value : context.Values()) {
        values.push_back(Narrow(value.name) + " " + std::to_string(value.flags) + " " +
                         std::to_string(value.type) + " " + std::to_string(value.number));
    }
    return values;
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class TarvikWarningsTest : public test::TraceTest {
protected:
    void SetUp() override {
        TraceTest::SetUp();
        m_events = sim::Machine::Get().Records("eventlog.jsonl").size();
        m_ledger = sim::LeakLedger::Get().Snapshot();
    }
    void TearDown() override { sim::Machine::Get().Faults().Clear(); }

    // The event log's records since the test began: "source|type|category|id|strings...|data".
    Lines NewEvents() const {
        Lines events;
        Lines records = sim::Machine::Get().Records("eventlog.jsonl");
        for (size_t i = m_events; i < records.size(); ++i) {
            sim::Json record = sim::Json::Parse(records[i]);
            std::string event = record.Find("source")->String();
            for (const char* number : {"type", "category", "eventId"}) {
                event +=
                    "|" + std::to_string(static_cast<long long>(record.Find(number)->Number()));
            }
            for (const sim::Json& text : record.Find("strings")->Items()) {
                event += "|" + text.String();
            }
            events.push_back(event + "|" + record.Find("data")->String());
        }
        return events;
    }

    // Once every double and monitor is gone: nothing is left but `registrations` new entries of
    // the global interface table, and the `heldStrings` BSTRs the objects it holds keep.
    void ExpectNothingLeftBut(size_t registrations, size_t heldStrings = 0) const {
        sim::LedgerSnapshot now = sim::LeakLedger::Get().Snapshot();
        EXPECT_EQ(m_ledger.objects, now.objects);
        EXPECT_EQ(m_ledger.leaked, now.leaked);
        EXPECT_EQ(m_ledger.globalTable + registrations, now.globalTable);
        EXPECT_EQ(m_ledger.strings + heldStrings, now.strings);
        EXPECT_EQ(m_ledger.arrays, now.arrays);
        EXPECT_EQ(m_ledger.badFrees, now.badFrees);
    }

    // Messages of this thread (`others` false) or of the others since the test began.
    Lines ThreadMessages(bool others) const {
        char self[16];
        snprintf(self, sizeof self, "\tTID:%x\t", static_cast<unsigned>(GetCurrentThreadId()));
        Lines messages;
        for (const std::string& line : NewLines(kWithoutScopes)) {
            if ((line.find(self) == std::string::npos) == others) {
                messages.push_back(test::MessageOf(line));
            }
        }
        return messages;
    }

    size_t m_events = 0;
    sim::LedgerSnapshot m_ledger;
};

// Without a WMI locator the worker's one pass ends there, with the error line, and the monitor
// stops by itself.
TEST_F(TarvikWarningsTest, WithoutWmiThePassEndsAtTheLocatorWithTheErrorLine) {
    sim::Machine::Get().Faults().Add("CoCreateInstance", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
    {
        ObservedWarnings monitor;
        ASSERT_TRUE(monitor.StartMonitor());
        for (int waited = 0; monitor.GetState() != MONITOR_STOPPED && waited < 10000;
             waited += 100) {
            Sleep(100);
        }
        EXPECT_EQ(static_cast<DWORD>(MONITOR_STOPPED), monitor.GetState());
        EXPECT_EQ(Join({kSecured,
                        {"ERROR:  Unable to do CoCreateInstance.",
                         "Exiting TarvikWarnings::InitializeWMI() bSuccess=0", kErrorLine}}),
                  ThreadMessages(true));
        EXPECT_EQ(
            (Lines{"Entering GenericMonitor::StartMonitor()", "Successfully created the thread",
                   "Exiting TarvikWarnings::SpawnThread()", "Successfully created the thread",
                   "Exiting GenericMonitor::StartMonitor() - bSuccess=1"}),
            ThreadMessages(false));
    }
    sim::Machine::Get().Faults().Clear();
    EXPECT_TRUE(NewEvents().empty());
    ExpectNothingLeftBut(0);
}

TEST_F(TarvikWarningsTest, ThreeWarningsAreTracedAndReportedInTheProvidersOrder) {
    const Lines texts = {"Team \"T1\" has a single member", "Adapter %s has no link at 100%",
                         "VLAN 4095 is reserved"};
    {
        test::FakeContextClass contexts;
        Provider provider;
        // The instance enumerated last is the service object.
        provider.SetInstances(
            {TEXT("\\\\HOST\\root\\orvexzel2:Qubra_NetService.Name=\"A\""), kPath});
        provider.SetWarnings({Provider::Warning(TEXT("Team \"T1\" has a single member")),
                              Provider::Warning(TEXT("Adapter %s has no link at 100%")),
                              Provider::Warning(TEXT("VLAN 4095 is reserved"))});
        ObservedWarnings monitor;
        EXPECT_TRUE(monitor.DoMonitor());

        Lines reported, events;
        for (const std::string& text : texts) {
            reported.insert(reported.end(), {text, "Create Event Log", text});
            events.push_back("Orvex Tarvik Monitor|4|0|1|" + text + "|");  // information
        }
        EXPECT_EQ(Join({kConnected,
                        {"Entering TarvikWarnings::GetTarvikWarnings()"},
                        kPartialContext,
                        {kPathText},
                        reported,
                        kUninitialized}),
                  NewMessages(kWithoutScopes));
        EXPECT_EQ(events, NewEvents());

        EXPECT_EQ(std::vector<WString>{kNamespace}, provider.locator.Connects());
        test::FakeServicesProxy::Blanket blanket = provider.proxy->LastBlanket();
        EXPECT_EQ(
            (std::vector<DWORD>{1, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, EOAC_NONE}),
            (std::vector<DWORD>{static_cast<DWORD>(blanket.sets), blanket.authn, blanket.authz,
                                blanket.level, blanket.impersonation, blanket.capabilities}));

        // One context, partial retrieval 7, passed to the class lookup and the method call; the
        // enumeration goes without one, the method without input.
        ComRef<test::FakeContext> context = contexts.Last();
        ASSERT_NE(nullptr, context.Get());
        EXPECT_EQ((Lines{"GET_EXT_CLIENT_REQUEST 0 11 -1", "GET_EXTENSIONS 0 11 -1",
                         "Qubra_PartialData 0 3 7"}),
                  ContextValues(*context.Get()));
        Lines calls;
        for (const FakeServices::Call& call : provider.services->Calls()) {
            calls.push_back(call.what + " " + Narrow(call.text) + " " + Narrow(call.method) + " " +
                            std::to_string(call.flags) + (call.input.Get() ? " input" : ""));
            EXPECT_EQ(call.what == "CreateInstanceEnum" ? nullptr : context.Get(),
                      call.context.Get());
        }
        EXPECT_EQ((Lines{"CreateInstanceEnum Qubra_NetService  0", "GetObject Qubra_NetService  0",
                         std::string("ExecMethod ") + kPathText + " GetTarvikWarnings 0"}),
                  calls);

        EXPECT_NE(0u, monitor.Cookie());
        EXPECT_EQ(NULL, monitor.EventLog());
        EXPECT_EQ(nullptr, monitor.Services());
    }
    // The service object stays registered in the global interface table, with its path; nothing
    // else is held.
    ExpectNothingLeftBut(1, 1);
}

// A failed connection ends the pass with the error line; a poll that fails at a step is left
// after its line, and the connection closed. Neither reports anything.
TEST_F(TarvikWarningsTest, AStepThatFailsEndsThePassAndReportsNothing) {
    auto failed = [](const Lines& lines) {
        return Join(
            {kSecured, lines, {"Exiting TarvikWarnings::InitializeWMI() bSuccess=0", kErrorLine}});
    };
    auto poll = [](const Lines& lines) {
        return Join(
            {kConnected, {"Entering TarvikWarnings::GetTarvikWarnings()"}, lines, kUninitialized});
    };
    struct Case {
        const char* name;
        Provider::Namespace space;
        std::function<void(Provider&)> arrange;
        Lines lines;
        int held;  // 0: nothing; 1: the service object registered; 2: that with its path
        bool withContext = true;
    };
    const Case cases[] = {
        {"the namespace is missing", Provider::kNone, [](Provider&) {},
         failed({"After CoCreateInstance()"}), 0},
        {"the namespace is no proxy, so it has no blanket", Provider::kInProcess, [](Provider&) {},
         failed({"After CoCreateInstance()", "After ConnectServer()",
                 "ERROR:  Unable to set proxy blanket"}),
         0},
        // This way out has no exit line.
        {"the instances cannot be enumerated", Provider::kProxy,
         [](Provider& p) {
             p.services->AnswerInstances(kClass, {WBEM_E_ACCESS_DENIED, {}, WBEM_S_FALSE});
         },
         Join({kSecured,
               {"After CoCreateInstance()", "After ConnectServer()", "After CoSetProxyBlanket()",
                "pIWbemService->CreateInstanceEnum failed", kErrorLine}}),
         0},
        {"process security cannot be set",
         Provider::kProxy,
         [](Provider&) { sim::Machine::Get().Faults().Add("CoInitializeSecurity", 0x80070005); },
         {"Entering TarvikWarnings::InitializeWMI()", "After CoInitializeEx()",
          "Exiting TarvikWarnings::InitializeWMI() bSuccess=0", kErrorLine},
         0},
        {"no instance of the service class", Provider::kProxy,
         [](Provider& p) { p.SetInstances({}); },
         poll(Join({kPartialContext, {"GetMethod -> m_dwNetService is 0"}})), 0},
        {"the class cannot be had", Provider::kProxy,
         [](Provider& p) { p.services->AnswerObject(kClass, WBEM_E_ACCESS_DENIED, nullptr); },
         poll({"GetObject -> L_CLASS_QUBRA_CORESERVICE"}), 2},
        {"the class lookup gives no object", Provider::kProxy,
         [](Provider& p) { p.services->AnswerObject(kClass, S_OK, nullptr); },
         poll({"GetObject -> L_CLASS_QUBRA_CORESERVICE -> NULL"}), 2},
        {"the class lacks the method", Provider::kProxy,
         [](Provider& p) { p.services->AnswerObject(kClass, S_OK, FakeObject::Make().Get()); },
         poll(Join({kPartialContext, {"GetMethod -> L_METHOD_GETALLWARNINGS"}})), 2},
        {"the service object has no path", Provider::kProxy,
         [](Provider& p) { p.SetInstances({nullptr}); },
         poll(Join({kPartialContext, {"", "GetPropertyAsString -> pQubraService, L_QUBRA_PATH"}})),
         1},
        {"the method fails", Provider::kProxy,
         [](Provider& p) { p.services->AnswerMethod(kPath, kMethod, WBEM_E_FAILED, nullptr); },
         poll(Join({kPartialContext, {kPathText, "ExecMethod -> L_METHOD_GETALLWARNINGS"}})), 2},
        {"the last warning lacks reserved2", Provider::kProxy,
         [](Provider& p) {
             p.SetWarnings(
                 {Provider::Warning(TEXT("fine")), Provider::Warning(TEXT("short"), false)});
         },
         poll(Join({kPartialContext,
                    {kPathText,
                     "GetWarnings() - GetPropertyAsUINT64 failed -> pAdapter_OutParams, "
                     "L_PARAM_ALLWARNINGS"}})),
         2},
        // Not a failure: the poll simply has nothing to report, and goes on without a context.
        {"no warnings and no context", Provider::kProxy, [](Provider& p) { p.SetWarnings({}); },
         poll({"Entering TarvikWarnings::ChangeContext()",
               "Entering TarvikWarnings::ChangeContext()::pIWbemContext Error", kPathText,
               "GetPropertyWarningMessages -> SafeArray is empty!!"}),
         2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MarkTrace();
        m_ledger = sim::LeakLedger::Get().Snapshot();
        m_events = sim::Machine::Get().Records("eventlog.jsonl").size();
        {
            std::unique_ptr<test::FakeContextClass> contexts;
            if (c.withContext) {
                contexts.reset(new test::FakeContextClass());
            } else {  // made third, after the locator and the global interface table
                sim::Machine::Get().Faults().Add("CoCreateInstance",
                                                 static_cast<DWORD>(REGDB_E_CLASSNOTREG), 3);
            }
            Provider provider(c.space);
            c.arrange(provider);
            ObservedWarnings monitor;
            EXPECT_TRUE(monitor.DoMonitor());
            EXPECT_EQ(static_cast<DWORD>(MONITOR_STOPPED), monitor.GetState());
            EXPECT_EQ(NULL, monitor.EventLog());
            EXPECT_EQ(c.held != 0, monitor.Cookie() != 0);
        }
        sim::Machine::Get().Faults().Clear();
        EXPECT_EQ(Join({c.lines, kDestroyed}), NewMessages(kWithoutScopes));
        EXPECT_TRUE(NewEvents().empty());
        // A namespace a failed connection kept is released with the monitor.
        ExpectNothingLeftBut(c.held != 0 ? 1 : 0, c.held == 2 ? 1 : 0);
    }
}

TEST_F(TarvikWarningsTest, ChangeContextSetsTheValuesOfItsSelector) {
    struct Case {
        DWORD selector;
        Lines lines;
        Lines values;  // VT_BOOL is 11, VT_I4 3
    };
    const Case cases[] = {
        {0xFFFFFFFF,
         {" Unset Partial Retrieval!!"},
         {"GET_EXT_CLIENT_REQUEST 0 11 0", "GET_EXTENSIONS 0 11 0", "GET_EXT_KEYS_ONLY 0 11 0",
          "Qubra_PartialData 0 3 -1"}},
        {0x83,
         {"Setting for partial data!!", "Keys only!!"},
         {"GET_EXT_CLIENT_REQUEST 0 11 -1", "GET_EXTENSIONS 0 11 -1", "GET_EXT_KEYS_ONLY 0 11 -1"}},
        {0,
         {"Setting for partial data!!", "Else Partial Retrieval!!"},
         {"GET_EXT_CLIENT_REQUEST 0 11 -1", "GET_EXTENSIONS 0 11 -1", "Qubra_PartialData 0 3 0"}},
    };
    ObservedWarnings monitor;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        MarkTrace();
        ComRef<test::FakeContext> context = test::FakeContext::Make();
        EXPECT_EQ(S_OK, monitor.ChangeContext(context.Get(), c.selector));
        EXPECT_EQ(Join({{"Entering TarvikWarnings::ChangeContext()"}, c.lines}), NewMessages());
        EXPECT_EQ(c.values, ContextValues(*context.Get()));
    }
    MarkTrace();
    EXPECT_EQ(S_OK, monitor.ChangeContext(NULL, 7));
    EXPECT_EQ((Lines{"Entering TarvikWarnings::ChangeContext()",
                     "Entering TarvikWarnings::ChangeContext()::pIWbemContext "
                     "Error"}),
              NewMessages());
}

TEST_F(TarvikWarningsTest, EnableAllPrivilegesEnablesEveryPrivilegeOfTheToken) {
    auto privileges = [] {
        std::vector<DWORD> attributes;
        test::ScopedHandle token;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()));
        DWORD size = 0;
        GetTokenInformation(token, TokenPrivileges, NULL, 0, &size);
        std::vector<DWORD> buffer((size + 3) / 4);
        EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size));
        const TOKEN_PRIVILEGES* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        const LUID_AND_ATTRIBUTES* entries = list->Privileges;
        for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
            attributes.push_back(entries[i].Attributes & SE_PRIVILEGE_ENABLED);
        }
        return attributes;
    };
    // A machine of its own: every pass of the other tests enabled this process's privileges.
    test::TestMachine machine(kMachine);
    ObservedWarnings monitor;
    const std::vector<DWORD> kInitial = privileges();
    ASSERT_EQ(3u, kInitial.size());
    ASSERT_EQ(1, std::count(kInitial.begin(), kInitial.end(), DWORD(SE_PRIVILEGE_ENABLED)));

    struct Fault {
        const char* function;
        unsigned call;
    };
    const Fault faults[] = {
        {"OpenProcessToken", 1}, {"GetTokenInformation", 2}, {"AdjustTokenPrivileges", 1}};
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.function);
        sim::Machine::Get().Faults().Add(fault.function, ERROR_ACCESS_DENIED, fault.call);
        EXPECT_EQ(WBEM_E_ACCESS_DENIED, monitor.EnableAllPrivileges());
        sim::Machine::Get().Faults().Clear();
        EXPECT_EQ(kInitial, privileges());
    }
    EXPECT_EQ(S_OK, monitor.EnableAllPrivileges());
    EXPECT_EQ(std::vector<DWORD>(3, SE_PRIVILEGE_ENABLED), privileges());
}

TEST_F(TarvikWarningsTest, TheEventWriterTracesWhatFailed) {
    ObservedWarnings monitor;
    SetLastError(ERROR_ACCESS_DENIED);
    monitor.WriteEventLog(TEXT("No source for 50% of %d"));
    EXPECT_EQ((Lines{"Create Event Log", "No source for 50% of %d",
                     "RegisterEventSource failed with 0x5.", "",
                     "ReportEvent failed with 0x6 for event 0x1.", ""}),
              NewMessages());

    // A source the poll registered, and a log that cannot take the record.
    MarkTrace();
    sim::Machine::Get().Faults().Add("ReportEventW", 1502);  // ERROR_LOG_FILE_FULL
    test::FakeContextClass contexts;
    Provider provider;
    EXPECT_TRUE(monitor.DoMonitor());
    EXPECT_EQ(Join({kConnected,
                    {"Entering TarvikWarnings::GetTarvikWarnings()"},
                    kPartialContext,
                    {kPathText, "first", "Create Event Log", "first",
                     "ReportEvent failed with 0x5de for event 0x1.", ""},
                    kUninitialized}),
              NewMessages(kWithoutScopes));
    EXPECT_TRUE(NewEvents().empty());
}

}  // namespace
