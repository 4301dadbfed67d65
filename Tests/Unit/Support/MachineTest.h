// A suite's own simulated machine, built once (its devices written into the registry) with the
// trace moved onto it. Each test leaves no fault behind, and no COM object, string or array of
// its own alive.
#pragma once

#include "Machine/Clock/Clock.h"
#include "Machine/Com/ComRuntime.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"
#include "Machine/Settings/MachineBuilder.h"
#include "Support/FakeWbem.h"
#include "Support/Records.h"
#include "Support/TestMachine.h"
#include "Support/TraceTest.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace test {

class MachineTest : public TraceTest {
protected:
    // The machine before goes first: each restores the one it replaced.
    static void OpenMachine(const std::string& machineJson, const std::string& registryReg = "") {
        s_machine.reset();
        s_machine.reset(new TestMachine(machineJson, registryReg));
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), sim::BuildMachine(s_machine->Dir()));
        TraceTest::SetUpTestSuite();
    }
    static void TearDownTestSuite() { s_machine.reset(); }

    void SetUp() override {
        m_before = sim::LeakLedger::Get().Snapshot();
        TraceTest::SetUp();
    }
    // A suite that holds objects releases them first.
    void TearDown() override {
        m_clock.reset();
        sim::Machine::Get().Faults().Clear();
        ExpectLedgerUnchanged(m_before);
    }

    // The records of a file from the `from`-th on, each as its named members (Records.h).
    static std::vector<std::string> Fields(const char* file, const std::vector<std::string>& names,
                                           size_t from = 0) {
        std::vector<std::string> lines;
        for (const sim::Json& record : Records(file, from)) {
            lines.push_back(test::Fields(record, names));
        }
        return lines;
    }

    // Polls every 100 ms of machine time; false when `done` is still false after dwMaxMs.
    static bool WaitUntil(const std::function<bool()>& done, DWORD dwMaxMs) {
        for (DWORD waited = 0; !done(); waited += 100) {
            if (waited >= dwMaxMs) {
                return false;
            }
            Sleep(100);
        }
        return true;
    }
    // Moves the calling thread onto the machine's clock until the test ends.
    void AttachClock() { m_clock.reset(new sim::Clock::Attachment(sim::Machine::Get().Clock())); }

    inline static std::unique_ptr<TestMachine> s_machine;
    std::unique_ptr<sim::Clock::Attachment> m_clock;
    sim::LedgerSnapshot m_before;
};

}  // namespace test
