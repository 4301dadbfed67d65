// The warnings poll on a machine: a start after an orderly shutdown asks the management provider
// once and writes each warning to the event log; what the provider declares decides the rest.
#include "ServiceMachine.h"

using test::ServiceMachine;

namespace {

const WCHAR kRebootValue[] = TEXT("Reboot_Detected");
const char kPassEnd[] = "Exiting TarvikWarnings::UninitializeWMI(),  bSuccess=1";
const char kInitFailed[] = "Exiting TarvikWarnings::InitializeWMI() bSuccess=0";
const char kPartialContext[] =
    R"({"GET_EXT_CLIENT_REQUEST":true,"GET_EXTENSIONS":true,"Qubra_PartialData":7})";

std::string Warning(const std::string& text, const std::string& more = ", \"reserved2\": \"r\"") {
    return R"({"ErrorCode": 7, "MessageText": ")" + text +
           R"(", "MessageType": null, "MessageAction": 1, "reserved": 0)" + more + "}";
}

TEST(WarningsScenario, OnePollAfterAnOrderlyShutdown) {
    struct Row {
        const char* name;
        std::string settings;
        std::vector<std::string> lines;   // in this order in the trace
        std::vector<std::string> events;  // the insertion string of each event
        const char* context;              // of the ExecMethod call; null: none made
    } rows[] = {
        {"two instances, three warnings",
         R"("management": {"instances": ["A", "B"], "warnings": [)" + Warning("Link down") + ", " +
             Warning("Team %s degraded") + ", " + Warning("VLAN mismatch") + "]}",
         {"After CoInitializeSecurity()", "After CoSetProxyBlanket()", "Setting for partial data!!",
          "Else Partial Retrieval!!",
          "\\\\TARVIK-HOST\\root\\orvexzel2:Qubra_NetService.Name=\"B\"", "Link down",
          "Team %s degraded", "VLAN mismatch", kPassEnd},
         {"Link down", "Team %s degraded", "VLAN mismatch"},
         kPartialContext},
        {"no namespace",
         "",
         {"After CoCreateInstance()", kInitFailed,
          "Src\\TarvikWarnings (124): ERROR:  Unable to initialize WMI!"},
         {},
         nullptr},
        {"no instance",
         R"("management": {"instances": []})",
         {"GetMethod -> m_dwNetService is 0", kPassEnd},
         {},
         nullptr},
        {"an empty array",
         R"("management": {"instances": ["A"], "warnings": []})",
         {"GetPropertyWarningMessages -> SafeArray is empty!!", kPassEnd},
         {},
         kPartialContext},
        {"the last warning lacks reserved2",
         R"("management": {"instances": ["A"], "warnings": [)" + Warning("first") + ", " +
             Warning("second", "") + "]}",
         {"GetWarnings() - GetPropertyAsUINT64 failed -> pAdapter_OutParams, L_PARAM_ALLWARNINGS",
          kPassEnd},
         {},
         kPartialContext},
        {"no event source",
         R"("faults": [{"function": "RegisterEventSourceW", "error": 5}], )"
         R"("management": {"instances": ["A"], "warnings": [)" +
             Warning("lost") + "]}",
         {"Create Event Log", "lost", "RegisterEventSource failed with 0x5.",
          "ReportEvent failed with 0x6 for event 0x1.", kPassEnd},
         {},
         kPartialContext},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServiceMachine machine(row.settings);
        ASSERT_EQ(machine.Run("-i"), 0);
        ServiceMachine::WriteDword(test::kZel2Key, kRebootValue, 1);
        ASSERT_EQ(machine.Sim("start"), 0);
        ASSERT_TRUE(machine.WaitForTrace(row.lines.back()));
        ASSERT_EQ(machine.Sim("stop"), 0);
        machine.ExpectTraceInOrder(row.lines);

        std::vector<std::string> events;
        for (const sim::Json& event : machine.Records("eventlog.jsonl")) {
            EXPECT_EQ(event.Find("source")->String(), "Orvex Tarvik Monitor");
            EXPECT_EQ(event.Find("type")->Number(), 4);
            EXPECT_EQ(event.Find("category")->Number(), 0);
            EXPECT_EQ(event.Find("eventId")->Number(), 1);
            ASSERT_EQ(event.Find("strings")->Items().size(), 1u);
            events.push_back(event.Find("strings")->Items()[0].String());
        }
        EXPECT_EQ(events, row.events);

        std::string context = "(no ExecMethod)";
        for (const sim::Json& call : machine.Records("wmi-calls.jsonl")) {
            if (call.Find("call")->String() == "ExecMethod") {
                EXPECT_EQ(call.Find("target")->String(),
                          "\\\\TARVIK-HOST\\root\\orvexzel2:Qubra_NetService.Name=\"" +
                              std::string(row.events.size() == 3 ? "B" : "A") +
                              "\".GetTarvikWarnings");
                context = machine.Machine().ReadFile("wmi-calls.jsonl");
                context =
                    context.substr(context.find("\"context\":", context.find("ExecMethod")) + 10);
                context = context.substr(0, context.find('\n') - 1);
            }
        }
        EXPECT_EQ(context, row.context != nullptr ? row.context : "(no ExecMethod)");

        // A plain stop is no orderly shutdown: the next start polls nothing.
        size_t polls = machine.Records("wmi-calls.jsonl").size();
        ASSERT_EQ(machine.Sim("start"), 0);
        ASSERT_EQ(machine.Sim("stop"), 0);
        EXPECT_EQ(machine.Records("wmi-calls.jsonl").size(), polls);
    }
}

}  // namespace
