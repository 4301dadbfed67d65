// The Hyper-V monitor's construction sets up COM for the process: the multithreaded apartment on
// the building thread and process-wide security, undone by the destructor.
#include "Support/IdleHyperVMonitor.h"
#include "Support/TraceFiles.h"
#include "Support/TraceTest.h"

#include <objbase.h>

#include <thread>

namespace {

class FrameOnlyMonitor : public test::IdleHyperVMonitor {
public:
    bool ComInitialized() const { return m_bCOMInitialized; }
};

class HyperVMonitorCom : public test::TraceTest {};

// One test: process-wide security can be set once per process only.
TEST_F(HyperVMonitorCom, ConstructionSetsUpTheApartmentAndSecurityOnce) {
    // A thread of its own, as the process's main thread is before main: no apartment yet.
    std::thread([this] {
        {
            FrameOnlyMonitor first;
            EXPECT_TRUE(first.ComInitialized());
            EXPECT_EQ(S_FALSE, CoInitializeEx(NULL, COINIT_MULTITHREADED));
            CoUninitialize();
            EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(NULL, COINIT_APARTMENTTHREADED));
            HRESULT again = CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_NONE,
                                                 RPC_C_IMP_LEVEL_IDENTIFY, NULL, EOAC_NONE, NULL);
            bool wineSecurity = test::RunningOnWine() && again == S_OK;  // Wine allows it again
            if (!wineSecurity) {
                EXPECT_EQ(RPC_E_TOO_LATE, again);
            }

            MarkTrace();
            {
                // A second monitor joins the apartment; the security is already set.
                FrameOnlyMonitor second;
                EXPECT_TRUE(second.ComInitialized());
            }
            std::vector<std::string> expected = {
                "Entering HyperVMonitor::HyperVMonitor()",
                "Entering HyperVMonitor::InitializeCOM()",
                "ERROR:  Unable to initialize security",
                "Exiting HyperVMonitor::InitializeCOM()",
                "Exiting HyperVMonitor::HyperVMonitor()",
                "Entering HyperVMonitor::~HyperVMonitor()",
            };
            if (wineSecurity) {
                expected.erase(expected.begin() + 2);
            }
            std::vector<std::string> messages = NewMessages();
            ASSERT_LE(expected.size(), messages.size());
            EXPECT_EQ(expected, std::vector<std::string>(messages.begin(),
                                                         messages.begin() + expected.size()));
            EXPECT_EQ(std::vector<std::string>({"Entering HyperVMonitor::UninitializeCOM()",
                                                "Exiting HyperVMonitor::UninitializeCOM()",
                                                "Exiting HyperVMonitor::~HyperVMonitor()"}),
                      std::vector<std::string>(messages.end() - 3, messages.end()));
        }
        // Both monitors left the apartment: the thread may choose another model now.
        EXPECT_EQ(S_OK, CoInitializeEx(NULL, COINIT_APARTMENTTHREADED));
        CoUninitialize();
    }).join();
}

}  // namespace
