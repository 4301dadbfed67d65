// The warnings poll on a machine: a start after an orderly shutdown asks the management provider
// once and writes each warning to the event log. What the provider's other answers lead to, the
// unit tests show on the same provider; that a start after a plain stop polls nothing, the
// lifecycle scenarios.
#include "ServiceMachine.h"

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
    // The connection's steps, the context, the method's path and the records' other members
    // are the unit tests' concern.
    machine.ExpectTraceInOrder(
        {"Link down", "Team %s degraded", "VLAN mismatch", "Create Event Log", kPassEnd});
    std::vector<std::string> events;
    for (const sim::Json& event : machine.Records("eventlog.jsonl")) {
        for (const sim::Json& text : test::Field(event, "strings").Items()) {
            events.push_back(text.String());
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"Link down", "Team %s degraded", "VLAN mismatch"}));
    EXPECT_EQ(machine.Records("wmi-calls.jsonl").size(), 3u);  // one poll
}

}  // namespace
