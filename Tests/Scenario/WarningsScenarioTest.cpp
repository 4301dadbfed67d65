// The warnings poll on a machine: a start after an orderly shutdown asks the management provider
// once and writes each warning to the event log. What the provider's other answers lead to, the
// unit tests show on the same provider; that a start after a plain stop polls nothing, the
// lifecycle scenarios.
#include "ServiceMachine.h"

#include <sstream>
#include <string>
#include <vector>

using test::ServiceMachine;

namespace {

const char kPassEnd[] = "Exiting TarvikWarnings::UninitializeWMI(),  bSuccess=1";

std::string Warning(const std::string& text) {
    return R"({"ErrorCode": 7, "MessageText": ")" + text +
           R"(", "MessageType": null, "MessageAction": 1, "reserved": 0, "reserved2": "r"})";
}

TEST(WarningsScenario, OnePollAfterAnOrderlyShutdown) {
    ServiceMachine machine(R"("management": {"instances": ["A", "B"], "warnings": [)" +
                               Warning("Link down") + ", " + Warning("Team %s degraded") + ", " +
                               Warning("VLAN mismatch") + "]}",
                           test::RebootMarker(1));
    ASSERT_EQ(machine.Run("-i"), 0);
    ASSERT_EQ(machine.Sim("start"), 0);
    ASSERT_TRUE(machine.WaitForTrace(kPassEnd));
    ASSERT_EQ(machine.Sim("stop"), 0);
    machine.ExpectTraceInOrder({"After CoInitializeSecurity()", "After CoSetProxyBlanket()",
                                "Setting for partial data!!", "Else Partial Retrieval!!",
                                "\\\\TARVIK-HOST\\root\\orvexzel2:Qubra_NetService.Name=\"B\"",
                                "Link down", "Team %s degraded", "VLAN mismatch", kPassEnd});

    // The records' other members are the unit tests' concern.
    std::vector<std::string> events;
    for (const sim::Json& event : machine.Records("eventlog.jsonl")) {
        for (const sim::Json& text : test::Field(event, "strings").Items()) {
            events.push_back(text.String());
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"Link down", "Team %s degraded", "VLAN mismatch"}));
    // The one method call, on the instance enumerated last, asks for partial data.
    std::vector<std::string> calls;
    std::istringstream lines(machine.Machine().ReadFile("wmi-calls.jsonl"));
    for (std::string line; std::getline(lines, line);) {
        if (line.find(R"("call":"ExecMethod")") != std::string::npos) {
            calls.push_back(line.substr(line.find(R"("target":)")));
        }
    }
    EXPECT_EQ(calls,
              (std::vector<std::string>{
                  R"("target":"\\\\TARVIK-HOST\\root\\orvexzel2:Qubra_NetService.Name=\"B\".)"
                  R"(GetTarvikWarnings","context":{"GET_EXT_CLIENT_REQUEST":true,)"
                  R"("GET_EXTENSIONS":true,"Qubra_PartialData":7}})"}));
}

}  // namespace
