// The warnings monitor against the machine's management provider: a poll whose warnings reach the
// event log in order, each failed step of the connection and of the poll, the context values, the
// token's privileges, and what a pass leaves in the leak ledger. The traces each pass leaves are
// in TarvikWarningsTest.txt.
#include "TarvikWarnings.h"

#include "Machine/Processes/Tokens.h"
#include "Machine/Wmi/ManagementProvider.h"
#include "Support/FailingAllocation.h"
#include "Support/MachineTest.h"
#include "Support/WmiValues.h"

#include <algorithm>
#include <set>

namespace {

typedef std::vector<std::string> Lines;

const char kPartialData[] =
    R"({"GET_EXT_CLIENT_REQUEST":true,"GET_EXTENSIONS":true,"Qubra_PartialData":7})";

// A warning as the provider declares it; `more` ends its members.
std::string Warning(const std::string& text, const std::string& more = R"(, "reserved2": "")") {
    return R"({"ErrorCode": 8193, "MessageText": ")" + text +
           R"(", "MessageType": 2, "MessageAction": 1, "reserved": 0)" + more + "}";
}

// A machine whose management provider has these instances and warnings.
std::string Machine(const char* instances, const std::string& warnings) {
    return std::string(R"({"management": {"instances": )") + instances + R"(, "warnings": )" +
           warnings + "}}";
}

// The monitor's handles, read as a test needs them.
class ObservedWarnings : public TarvikWarnings {
public:
    HANDLE EventLog() const { return m_hEventLog; }
    DWORD Cookie() const { return m_dwNetService; }
    IWbemServices* Services() const { return m_pIWbemService.Get(); }
};

class TarvikWarningsTest : public test::MachineTest {
protected:
    // A machine of the test's own (see OpenMachine); the ledger counts from here.
    void Open(const std::string& machineJson) {
        OpenMachine(machineJson);
        MarkTrace();
        m_ledger = sim::LeakLedger::Get().Snapshot();
    }

    // The event log's records: "source|type|category|id|strings...".
    static Lines Events() {
        return Fields("eventlog.jsonl", {"source", "type", "category", "eventId", "strings"});
    }
    // The context of each call the provider had, as JSON text ("null": none).
    static Lines Contexts() {
        Lines contexts;
        for (const std::string& text : sim::Machine::Get().Records("wmi-calls.jsonl")) {
            size_t at = text.find("\"context\":") + 10;
            contexts.push_back(text.substr(at, text.size() - at - 1));
        }
        return contexts;
    }

    // Besides the fixture's own check: `registrations` new entries of the global interface table.
    void ExpectRegistered(size_t registrations) const {
        EXPECT_EQ(m_ledger.globalTable + registrations,
                  sim::LeakLedger::Get().Snapshot().globalTable);
        test::ExpectLedgerUnchanged(m_ledger);
    }

    sim::LedgerSnapshot m_ledger;
};

// Runs first: the machine keys a process's token by the address of its machine object, which a
// later machine may take over with the token of the one before.
TEST_F(TarvikWarningsTest, EnableAllPrivilegesEnablesEveryPrivilegeOfTheToken) {
    // Each privilege's enabled bit, in the token's order.
    auto privileges = [] {
        std::vector<BYTE> bytes = sim::ProcessToken()->Privileges();
        const TOKEN_PRIVILEGES* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(bytes.data());
        std::vector<DWORD> attributes;
        for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
            attributes.push_back(list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED);
        }
        return attributes;
    };
    // The service account holds three privileges, one of them enabled.
    Open(R"({"account": {"privileges": [{"name": "SeShutdownPrivilege"},
        {"name": "SeDebugPrivilege", "enabled": true}, {"name": "SeBackupPrivilege"}]}})");
    ObservedWarnings monitor;
    const std::vector<DWORD> kInitial = privileges();
    ASSERT_EQ(3u, kInitial.size());
    ASSERT_EQ(1, std::count(kInitial.begin(), kInitial.end(), DWORD(SE_PRIVILEGE_ENABLED)));
    const std::pair<const char*, unsigned> faults[] = {
        {"OpenProcessToken", 1}, {"GetTokenInformation", 2}, {"AdjustTokenPrivileges", 1}};
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.first);
        sim::Machine::Get().Faults().Add(fault.first, ERROR_ACCESS_DENIED, fault.second);
        EXPECT_EQ(WBEM_E_ACCESS_DENIED, monitor.EnableAllPrivileges());
        sim::Machine::Get().Faults().Clear();
        EXPECT_EQ(kInitial, privileges());
    }
    // Each allocation failing in turn, the machine's too: the token's list gives out of memory,
    // and the token is left as it was.
    std::vector<long> results = test::OutcomesWithEachAllocationFailing([&] {
        HRESULT hr = monitor.EnableAllPrivileges();
        return hr == S_OK ? hr : kInitial == privileges() ? hr : E_UNEXPECTED;
    });
    EXPECT_EQ(S_OK, results.back());
    results.pop_back();
    EXPECT_EQ((std::set<long>{WBEM_E_ACCESS_DENIED, WBEM_E_OUT_OF_MEMORY}),
              std::set<long>(results.begin(), results.end()));
    EXPECT_EQ(S_OK, monitor.EnableAllPrivileges());
    EXPECT_EQ(std::vector<DWORD>(3, SE_PRIVILEGE_ENABLED), privileges());
}

TEST_F(TarvikWarningsTest, ThreeWarningsAreTracedAndReportedInTheProvidersOrder) {
    Open(Machine(R"(["A", "B"])", "[" + Warning(R"(Team \"T1\" has a single member)") + ", " +
                                      Warning("Adapter %s has no link at 100%") + ", " +
                                      Warning("VLAN 4095 is reserved") + "]"));
    {
        ObservedWarnings monitor;
        EXPECT_TRUE(monitor.DoMonitor());
    }
    EXPECT_EQ(test::Expected(__FILE__, "three warnings"), NewMessages(kWithoutScopes));
    EXPECT_EQ(test::Expected(__FILE__, "three warnings: events"), Events());
    // The class lookup and the method call share the one context; the enumeration has none.
    EXPECT_EQ(test::Expected(__FILE__, "three warnings: calls"),
              Fields("wmi-calls.jsonl", {"call", "target"}));
    EXPECT_EQ((Lines{"null", "{}", kPartialData}), Contexts());
    // The service object stays registered in the global interface table; nothing else is held.
    ExpectRegistered(1);
}

// A failed connection ends the pass with the error line; a poll that fails at a step is left
// after its line, and the connection closed. Neither reports anything.
TEST_F(TarvikWarningsTest, AStepThatFailsEndsThePassAndReportsNothing) {
    const std::string kFirst = "[" + Warning("first") + "]";
    const std::string kB = Machine(R"(["B"])", kFirst);
    struct Case {
        const char* name;
        std::string machine;
        const char* function;  // of the fault; null: none
        HRESULT error;
        unsigned call;
        bool registered;  // the service object is in the global interface table
        bool blanket;     // the kept connection carries the blanket
    };
    const Case cases[] = {
        {"no WMI locator", "{}", "CoCreateInstance", REGDB_E_CLASSNOTREG, 1, false, false},
        {"the namespace is missing", "{}", nullptr, S_OK, 0, false, false},
        {"the namespace takes no blanket", kB, "CoSetProxyBlanket", E_NOINTERFACE, 0, false, false},
        {"the instances cannot be enumerated", kB, "IWbemServices::CreateInstanceEnum",
         WBEM_E_ACCESS_DENIED, 0, false, true},
        {"COM cannot be initialised", kB, "CoInitializeEx", E_OUTOFMEMORY, 0, false, false},
        {"process security cannot be set", kB, "CoInitializeSecurity", E_ACCESSDENIED, 0, false,
         false},
        {"no instance of the service class", Machine("[]", kFirst), nullptr, S_OK, 0, false, false},
        // Made second, after the locator: the connection is kept all the same.
        {"no global interface table", kB, "CoCreateInstance", REGDB_E_CLASSNOTREG, 2, false, false},
        {"the service object is not in the table", kB, "GetInterfaceFromGlobal", E_INVALIDARG, 0,
         true, false},
        {"the class cannot be had", kB, "IWbemServices::GetObject", WBEM_E_ACCESS_DENIED, 0, true,
         false},
        {"the class lacks the method", kB, "IWbemClassObject::GetMethod", WBEM_E_NOT_FOUND, 0, true,
         false},
        {"the service object has no path", kB, "IWbemClassObject::Get:__PATH", WBEM_E_NOT_FOUND, 0,
         true, false},
        {"the method fails", kB, "IWbemServices::ExecMethod", WBEM_E_FAILED, 0, true, false},
        // A member the provider left out reads as null, like any unset property of the class.
        {"the last warning's reserved2 cannot be read",
         Machine(R"(["B"])", "[" + Warning("without reserved2", "") + ", " + Warning("fine") + "]"),
         "IWbemClassObject::Get:reserved2", WBEM_E_NOT_FOUND, 2, true, false},
        // Not a failure: the poll has nothing to report, and goes on without a context (made
        // third, after the locator and the global interface table).
        {"no warnings and no context", Machine(R"(["B"])", "[]"), "CoCreateInstance",
         REGDB_E_CLASSNOTREG, 3, true, false},
        {"no event source", kB, "RegisterEventSourceW", ERROR_ACCESS_DENIED, 0, true, false},
        {"the log is full", kB, "ReportEventW", 1502, 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open(c.machine);
        if (c.function != nullptr) {
            sim::Machine::Get().Faults().Add(c.function, static_cast<DWORD>(c.error), c.call);
        }
        {
            ObservedWarnings monitor;
            EXPECT_TRUE(monitor.DoMonitor());
            EXPECT_EQ(NULL, monitor.EventLog());
            EXPECT_EQ(c.registered, monitor.Cookie() != 0);
            if (c.blanket) {
                EXPECT_EQ(test::CallLevelBlanket(), test::BlanketOf(monitor.Services()));
            }
        }
        sim::Machine::Get().Faults().Clear();
        EXPECT_EQ(test::Expected(__FILE__, c.name), NewMessages(kWithoutScopes));
        EXPECT_TRUE(Events().empty());
        // A namespace a failed connection kept is released with the monitor.
        ExpectRegistered(c.registered ? 1 : 0);
    }
}

TEST_F(TarvikWarningsTest, ChangeContextSetsTheValuesOfItsSelector) {
    struct Case {
        DWORD selector;
        Lines lines;
        const char* values;  // as the provider records them
    };
    const Case cases[] = {
        {0xFFFFFFFF,
         {"Entering TarvikWarnings::ChangeContext()", " Unset Partial Retrieval!!"},
         R"({"GET_EXT_CLIENT_REQUEST":false,"GET_EXTENSIONS":false,"GET_EXT_KEYS_ONLY":false,)"
         R"("Qubra_PartialData":-1})"},
        {0x83,
         {"Entering TarvikWarnings::ChangeContext()", "Setting for partial data!!", "Keys only!!"},
         R"({"GET_EXT_CLIENT_REQUEST":true,"GET_EXTENSIONS":true,"GET_EXT_KEYS_ONLY":true})"},
    };
    Open("{}");
    ObservedWarnings monitor;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        MarkTrace();
        IWbemContext* context = NULL;
        ASSERT_EQ(S_OK, sim::NewWbemContext(IID_IWbemContext, reinterpret_cast<void**>(&context)));
        EXPECT_EQ(S_OK, monitor.ChangeContext(context, c.selector));
        sim::RecordWmiCall("ChangeContext", u"", context);
        context->Release();
        EXPECT_EQ(c.lines, NewMessages());
        EXPECT_EQ(c.values, Contexts().back());
    }
}

}  // namespace
