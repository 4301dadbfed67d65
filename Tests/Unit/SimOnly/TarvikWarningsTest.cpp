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
using test::WString;

const WCHAR kNamespace[] = TEXT("root\\orvexzel2");
const WCHAR kClass[] = TEXT("Qubra_NetService");
const WCHAR kMethod[] = TEXT("GetTarvikWarnings");
const WCHAR kPath[] = TEXT("\\\\HOST\\root\\orvexzel2:Qubra_NetService.Name=\"B\"");
const DWORD kLogFileFull = 1502;  // ERROR_LOG_FILE_FULL
const char kPathText[] = "\\\\HOST\\root\\orvexzel2:Qubra_NetService.Name=\"B\"";

// The service account holds three privileges, one of them enabled.
const char kMachine[] = R"({"account": {"privileges": [
  {"name": "SeShutdownPrivilege"}, {"name": "SeDebugPrivilege", "enabled": true},
  {"name": "SeBackupPrivilege"}]}})";

std::string Narrow(const WString& text) {
    return std::string(text.begin(), text.end());
}

// The management provider while it lives: the namespace with one instance of the service class
// at kPath, the class with its method, and the method's answer of warnings. Tests change parts.
class Provider {
public:
    Provider()
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
        locator.AddNamespace(kNamespace, proxy.Get());
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

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

struct Event {
    std::string source;
    long long type, category, id;
    std::vector<std::string> strings;
    std::string data;
};

const char kErrorLine[] = "Src\\TarvikWarnings (124): ERROR:  Unable to initialize WMI!";
const std::vector<std::string> kConnected = {"Entering TarvikWarnings::InitializeWMI()",
                                             "After CoInitializeEx()",
                                             "After CoInitializeSecurity()",
                                             "After CoCreateInstance()",
                                             "After ConnectServer()",
                                             "After CoSetProxyBlanket()",
                                             "Exiting TarvikWarnings::InitializeWMI() bSuccess=1"};
const std::vector<std::string> kPartialContext = {"Entering TarvikWarnings::ChangeContext()",
                                                  "Setting for partial data!!",
                                                  "Else Partial Retrieval!!"};
// The destructor's wait for a worker that has already stopped.
const std::vector<std::string> kDestroyed = {"Entering GenericMonitor::StopMonitor()",
                                             "Exiting GenericMonitor::StopMonitor() - Stopped=1"};
const std::vector<std::string> kUninitialized = {
    "Entering TarvikWarnings::UninitializeWMI()",
    "Exiting TarvikWarnings::UninitializeWMI(),  bSuccess=1"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const std::vector<std::string>& part : parts) {
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

    std::vector<Event> NewEvents() const {
        std::vector<Event> events;
        std::vector<std::string> records = sim::Machine::Get().Records("eventlog.jsonl");
        for (size_t i = m_events; i < records.size(); ++i) {
            sim::Json record = sim::Json::Parse(records[i]);
            Event event{record.Find("source")->String(),
                        static_cast<long long>(record.Find("type")->Number()),
                        static_cast<long long>(record.Find("category")->Number()),
                        static_cast<long long>(record.Find("eventId")->Number()),
                        {},
                        record.Find("data")->String()};
            for (const sim::Json& text : record.Find("strings")->Items()) {
                event.strings.push_back(text.String());
            }
            events.push_back(event);
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
    std::vector<std::string> ThreadMessages(bool others) const {
        char self[16];
        snprintf(self, sizeof self, "\tTID:%x\t", static_cast<unsigned>(GetCurrentThreadId()));
        std::vector<std::string> messages;
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

// What the service does today: the machine has no WMI, so the worker's one pass ends at the
// locator, with the error line, and the monitor stops by itself.
TEST_F(TarvikWarningsTest, WithoutWmiThePassEndsAtTheLocatorWithTheErrorLine) {
    {
        ObservedWarnings monitor;
        ASSERT_TRUE(monitor.StartMonitor());
        for (int waited = 0; monitor.GetState() != MONITOR_STOPPED && waited < 10000;
             waited += 100) {
            Sleep(100);
        }
        EXPECT_EQ(static_cast<DWORD>(MONITOR_STOPPED), monitor.GetState());
        EXPECT_EQ((std::vector<std::string>{
                      "Entering TarvikWarnings::InitializeWMI()", "After CoInitializeEx()",
                      "After CoInitializeSecurity()", "ERROR:  Unable to do CoCreateInstance.",
                      "Exiting TarvikWarnings::InitializeWMI() bSuccess=0", kErrorLine}),
                  ThreadMessages(true));
        EXPECT_EQ((std::vector<std::string>{
                      "Entering GenericMonitor::StartMonitor()", "Successfully created the thread",
                      "Exiting TarvikWarnings::SpawnThread()", "Successfully created the thread",
                      "Exiting GenericMonitor::StartMonitor() - bSuccess=1"}),
                  ThreadMessages(false));
    }
    EXPECT_TRUE(NewEvents().empty());
    ExpectNothingLeftBut(0);
}

TEST_F(TarvikWarningsTest, ThreeWarningsAreTracedAndReportedInTheProvidersOrder) {
    const WCHAR* texts[] = {TEXT("Team \"T1\" has a single member"),
                            TEXT("Adapter %s has no link at 100%"), TEXT("VLAN 4095 is reserved")};
    const std::vector<std::string> narrow = {"Team \"T1\" has a single member",
                                             "Adapter %s has no link at 100%",
                                             "VLAN 4095 is reserved"};
    {
        test::FakeContextClass contexts;
        Provider provider;
        // The instance enumerated last is the service object.
        provider.SetInstances(
            {TEXT("\\\\HOST\\root\\orvexzel2:Qubra_NetService.Name=\"A\""), kPath});
        provider.SetWarnings({Provider::Warning(texts[0]), Provider::Warning(texts[1]),
                              Provider::Warning(texts[2])});
        ObservedWarnings monitor;
        EXPECT_TRUE(monitor.DoMonitor());

        std::vector<std::string> reported;
        for (const std::string& text : narrow) {
            reported.insert(reported.end(), {text, "Create Event Log", text});
        }
        EXPECT_EQ(Join({kConnected,
                        {"Entering TarvikWarnings::GetTarvikWarnings()"},
                        kPartialContext,
                        {kPathText},
                        reported,
                        kUninitialized}),
                  NewMessages(kWithoutScopes));

        std::vector<Event> events = NewEvents();
        ASSERT_EQ(3u, events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ("Orvex Tarvik Monitor", events[i].source);
            EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, events[i].type);
            EXPECT_EQ(0, events[i].category);
            EXPECT_EQ(1, events[i].id);
            EXPECT_EQ(std::vector<std::string>{narrow[i]}, events[i].strings);
            EXPECT_EQ("", events[i].data);
        }

        EXPECT_EQ(std::vector<WString>{kNamespace}, provider.locator.Connects());
        test::FakeServicesProxy::Blanket blanket = provider.proxy->LastBlanket();
        EXPECT_EQ(1, blanket.sets);
        EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_WINNT), blanket.authn);
        EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHZ_NONE), blanket.authz);
        EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_LEVEL_CALL), blanket.level);
        EXPECT_EQ(static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE), blanket.impersonation);
        EXPECT_EQ(static_cast<DWORD>(EOAC_NONE), blanket.capabilities);

        // One context, partial retrieval 7, passed to the class lookup and the method call.
        ComRef<test::FakeContext> context = contexts.Last();
        ASSERT_NE(nullptr, context.Get());
        std::vector<test::FakeContext::Value> values = context->Values();
        ASSERT_EQ(3u, values.size());
        const char* names[] = {"GET_EXT_CLIENT_REQUEST", "GET_EXTENSIONS", "Qubra_PartialData"};
        const VARTYPE types[] = {VT_BOOL, VT_BOOL, VT_I4};
        const LONG numbers[] = {VARIANT_TRUE, VARIANT_TRUE, 7};
        for (size_t i = 0; i < values.size(); ++i) {
            SCOPED_TRACE(names[i]);
            EXPECT_EQ(names[i], Narrow(values[i].name));
            EXPECT_EQ(0, values[i].flags);
            EXPECT_EQ(types[i], values[i].type);
            EXPECT_EQ(numbers[i], values[i].number);
        }
        std::vector<FakeServices::Call> calls = provider.services->Calls();
        ASSERT_EQ(3u, calls.size());
        EXPECT_EQ("CreateInstanceEnum", calls[0].what);
        EXPECT_EQ("Qubra_NetService", Narrow(calls[0].text));
        EXPECT_EQ(nullptr, calls[0].context.Get());
        EXPECT_EQ("GetObject", calls[1].what);
        EXPECT_EQ("Qubra_NetService", Narrow(calls[1].text));
        EXPECT_EQ("ExecMethod", calls[2].what);
        EXPECT_EQ(kPathText, Narrow(calls[2].text));
        EXPECT_EQ("GetTarvikWarnings", Narrow(calls[2].method));
        EXPECT_EQ(nullptr, calls[2].input.Get());  // the method takes no input
        for (size_t i = 1; i < calls.size(); ++i) {
            EXPECT_EQ(0, calls[i].flags);
            EXPECT_EQ(static_cast<IWbemContext*>(context.Get()), calls[i].context.Get());
        }

        EXPECT_NE(0u, monitor.Cookie());
        EXPECT_EQ(NULL, monitor.EventLog());
        EXPECT_EQ(nullptr, monitor.Services());
    }
    // The service object stays registered in the global interface table, with its path; nothing
    // else is held.
    ExpectNothingLeftBut(1, 1);
}

TEST_F(TarvikWarningsTest, AConnectionThatFailsEndsThePassWithTheErrorLine) {
    const std::vector<std::string> kSecured = {"Entering TarvikWarnings::InitializeWMI()",
                                               "After CoInitializeEx()",
                                               "After CoInitializeSecurity()"};
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> lines;
    };
    std::unique_ptr<Provider> provider;
    std::unique_ptr<test::FakeLocatorClass> locator;
    ComRef<FakeServices> inProcess = FakeServices::Make();
    const Case cases[] = {
        {"the namespace is missing", [&] { locator.reset(new test::FakeLocatorClass()); },
         Join({kSecured,
               {"After CoCreateInstance()", "Exiting TarvikWarnings::InitializeWMI() bSuccess=0",
                kErrorLine}})},
        {"the namespace is no proxy, so it has no blanket",
         [&] {
             locator.reset(new test::FakeLocatorClass());
             locator->AddNamespace(kNamespace, inProcess.Get());
         },
         Join({kSecured,
               {"After CoCreateInstance()", "After ConnectServer()",
                "ERROR:  Unable to set proxy blanket",
                "Exiting TarvikWarnings::InitializeWMI() bSuccess=0", kErrorLine}})},
        {"the instances cannot be enumerated",
         [&] {
             provider.reset(new Provider());
             provider->services->AnswerInstances(kClass, {WBEM_E_ACCESS_DENIED, {}, WBEM_S_FALSE});
         },
         Join({kSecured,
               {"After CoCreateInstance()", "After ConnectServer()", "After CoSetProxyBlanket()",
                "pIWbemService->CreateInstanceEnum failed", kErrorLine}})},
        {"process security cannot be set",
         [&] {
             provider.reset(new Provider());
             sim::Machine::Get().Faults().Add("CoInitializeSecurity", 0x80070005);
         },
         {"Entering TarvikWarnings::InitializeWMI()", "After CoInitializeEx()",
          "Exiting TarvikWarnings::InitializeWMI() bSuccess=0", kErrorLine}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MarkTrace();
        c.arrange();
        {
            ObservedWarnings monitor;
            EXPECT_TRUE(monitor.DoMonitor());
            EXPECT_EQ(static_cast<DWORD>(MONITOR_STOPPED), monitor.GetState());
            EXPECT_EQ(0u, monitor.Cookie());
        }
        EXPECT_EQ(Join({c.lines, kDestroyed}), NewMessages(kWithoutScopes));
        sim::Machine::Get().Faults().Clear();
        provider.reset();
        locator.reset();
    }
    EXPECT_TRUE(NewEvents().empty());
    inProcess = ComRef<FakeServices>();
    // A namespace the failed passes kept is released with the monitor.
    ExpectNothingLeftBut(0);
}

TEST_F(TarvikWarningsTest, APollThatFailsAtAStepReportsNothing) {
    struct Case {
        const char* name;
        std::function<void(Provider&)> arrange;
        std::vector<std::string> poll;  // after its entry line
        size_t registrations;           // of the service object
        size_t heldStrings;             // by the registered service object: its path
        bool withContext = true;
    };
    const Case cases[] = {
        {"no instance of the service class", [](Provider& p) { p.SetInstances({}); },
         Join({kPartialContext, {"GetMethod -> m_dwNetService is 0"}}), 0, 0},
        {"the class cannot be had",
         [](Provider& p) { p.services->AnswerObject(kClass, WBEM_E_ACCESS_DENIED, nullptr); },
         {"GetObject -> L_CLASS_QUBRA_CORESERVICE"},
         1,
         1},
        {"the class lookup gives no object",
         [](Provider& p) { p.services->AnswerObject(kClass, S_OK, nullptr); },
         {"GetObject -> L_CLASS_QUBRA_CORESERVICE -> NULL"},
         1,
         1},
        {"the class lacks the method",
         [](Provider& p) {
             ComRef<FakeObject> bare = FakeObject::Make();
             p.services->AnswerObject(kClass, S_OK, bare.Get());
         },
         Join({kPartialContext, {"GetMethod -> L_METHOD_GETALLWARNINGS"}}), 1, 1},
        {"the service object has no path", [](Provider& p) { p.SetInstances({nullptr}); },
         Join({kPartialContext, {"", "GetPropertyAsString -> pQubraService, L_QUBRA_PATH"}}), 1, 0},
        {"the method fails",
         [](Provider& p) { p.services->AnswerMethod(kPath, kMethod, WBEM_E_FAILED, nullptr); },
         Join({kPartialContext, {kPathText, "ExecMethod -> L_METHOD_GETALLWARNINGS"}}), 1, 1},
        {"the last warning lacks reserved2",
         [](Provider& p) {
             p.SetWarnings(
                 {Provider::Warning(TEXT("fine")), Provider::Warning(TEXT("short"), false)});
         },
         Join({kPartialContext,
               {kPathText,
                "GetWarnings() - GetPropertyAsUINT64 failed -> pAdapter_OutParams, "
                "L_PARAM_ALLWARNINGS"}}),
         1, 1},
        // Not a failure: the poll simply has nothing to report, and goes on without a context.
        {"no warnings and no context",
         [](Provider& p) { p.SetWarnings({}); },
         {"Entering TarvikWarnings::ChangeContext()",
          "Entering TarvikWarnings::ChangeContext()::pIWbemContext Error", kPathText,
          "GetPropertyWarningMessages -> SafeArray is empty!!"},
         1,
         1,
         false},
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
            }
            Provider provider;
            c.arrange(provider);
            ObservedWarnings monitor;
            EXPECT_TRUE(monitor.DoMonitor());
            EXPECT_EQ(NULL, monitor.EventLog());
            EXPECT_EQ(c.registrations != 0, monitor.Cookie() != 0);
        }
        EXPECT_EQ(Join({kConnected,
                        {"Entering TarvikWarnings::GetTarvikWarnings()"},
                        c.poll,
                        kUninitialized,
                        kDestroyed}),
                  NewMessages(kWithoutScopes));
        EXPECT_TRUE(NewEvents().empty());
        ExpectNothingLeftBut(c.registrations, c.heldStrings);
    }
}

TEST_F(TarvikWarningsTest, ChangeContextSetsTheValuesOfItsSelector) {
    struct Case {
        DWORD selector;
        std::vector<std::string> lines;
        std::vector<std::string> names;
        std::vector<LONG> numbers;  // VT_BOOL for the GET_ names, VT_I4 for Qubra_PartialData
    };
    const Case cases[] = {
        {0xFFFFFFFF,
         {" Unset Partial Retrieval!!"},
         {"GET_EXT_CLIENT_REQUEST", "GET_EXTENSIONS", "GET_EXT_KEYS_ONLY", "Qubra_PartialData"},
         {VARIANT_FALSE, VARIANT_FALSE, VARIANT_FALSE, -1}},
        {0x83,
         {"Setting for partial data!!", "Keys only!!"},
         {"GET_EXT_CLIENT_REQUEST", "GET_EXTENSIONS", "GET_EXT_KEYS_ONLY"},
         {VARIANT_TRUE, VARIANT_TRUE, VARIANT_TRUE}},
        {0,
         {"Setting for partial data!!", "Else Partial Retrieval!!"},
         {"GET_EXT_CLIENT_REQUEST", "GET_EXTENSIONS", "Qubra_PartialData"},
         {VARIANT_TRUE, VARIANT_TRUE, 0}},
    };
    ObservedWarnings monitor;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        MarkTrace();
        ComRef<test::FakeContext> context = test::FakeContext::Make();
        EXPECT_EQ(S_OK, monitor.ChangeContext(context.Get(), c.selector));
        EXPECT_EQ(Join({{"Entering TarvikWarnings::ChangeContext()"}, c.lines}), NewMessages());
        std::vector<test::FakeContext::Value> values = context->Values();
        ASSERT_EQ(c.names.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(c.names[i], Narrow(values[i].name));
            EXPECT_EQ(c.names[i] == "Qubra_PartialData" ? VT_I4 : VT_BOOL, values[i].type);
            EXPECT_EQ(c.numbers[i], values[i].number);
        }
    }
    MarkTrace();
    EXPECT_EQ(S_OK, monitor.ChangeContext(NULL, 7));
    EXPECT_EQ((std::vector<std::string>{"Entering TarvikWarnings::ChangeContext()",
                                        "Entering TarvikWarnings::ChangeContext()::pIWbemContext "
                                        "Error"}),
              NewMessages());
}

TEST_F(TarvikWarningsTest, EnableAllPrivilegesEnablesEveryPrivilegeOfTheToken) {
    auto privileges = [] {
        std::vector<DWORD> attributes;
        HANDLE token = NULL;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        DWORD size = 0;
        GetTokenInformation(token, TokenPrivileges, NULL, 0, &size);
        std::vector<DWORD> buffer((size + 3) / 4);
        EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size));
        CloseHandle(token);
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
    EXPECT_EQ((std::vector<std::string>{"Create Event Log", "No source for 50% of %d",
                                        "RegisterEventSource failed with 0x5.", "",
                                        "ReportEvent failed with 0x6 for event 0x1.", ""}),
              NewMessages());

    // A source the poll registered, and a log that cannot take the record.
    MarkTrace();
    sim::Machine::Get().Faults().Add("ReportEventW", kLogFileFull);
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
