// The registry rules of the monitors' time-out, with the trace lines of their reads.

#include "Support/IdleHyperVMonitor.h"
#include "Support/ProbeMonitor.h"
#include "Support/TraceFiles.h"
#include "Support/TraceTest.h"

namespace {

const WCHAR kServiceKey[] = TEXT("SOFTWARE\\Orvex\\Zuzuvoz_Orodavov\\TALM\\Service");

using test::ProbeMonitor;

class GenericMonitorTest : public test::TraceTest {};

TEST_F(GenericMonitorTest, TimeoutFromTheRegistry) {
    test::DeleteKey(kServiceKey);
    // The Hyper-V monitor's time-out rule; its thread is not started here.
    test::IdleHyperVMonitor hyperV;
    ProbeMonitor plain(ProbeMonitor::kReturnAtOnce);
    ProbeMonitor named(ProbeMonitor::kReturnAtOnce);
    named.SetTimeoutRule(25, TEXT("ProbeTimeout"));
    MarkTrace();

    // No key: the default, with an error line only where the registry is consulted.
    EXPECT_EQ(1u, hyperV.GetTimeout());
    EXPECT_EQ(10u, plain.GetTimeout());
    EXPECT_EQ(std::vector<std::string>({"Entering GenericMonitor::GetTimeout()",
                                        "ERROR:  Unable to open Service key!",
                                        "Exiting GenericMonitor::GetTimeout - timeout=1",
                                        "Entering GenericMonitor::GetTimeout()",
                                        "Exiting GenericMonitor::GetTimeout - timeout=10"}),
              NewMessages(kWithoutScopes | kWithoutRegistry));

    struct Case {
        const char* name;
        DWORD type;
        DWORD value;  // absent when type is REG_NONE
        DWORD hyperV;
    } cases[] = {
        {"absent", REG_NONE, 0, 1},
        // Zero is used: HyperVMonitorLoop.TimeoutZeroEndsAfterTheInitialPass.
        {"largest positive", REG_DWORD, 0x7FFFFFFF, 0x7FFFFFFF},
        {"negative as a signed number", REG_DWORD, 0x80000000, 1},
        {"not a DWORD", REG_BINARY, 5, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::SetRaw(kServiceKey, TEXT("HVMonTimeout"), c.type,
                     c.type != REG_NONE ? &c.value : NULL, sizeof c.value);
        // Read afresh at every call.
        EXPECT_EQ(c.hyperV, hyperV.GetTimeout());
        EXPECT_EQ(25u, named.GetTimeout());
        EXPECT_EQ(10u, plain.GetTimeout());
    }
    test::DeleteKey(kServiceKey);
}

}  // namespace
