// A suite's own simulated machine, built once (its devices written into the registry) with the
// trace moved onto it. Each test leaves no fault behind, and no COM object, string or array of
// its own alive.
#pragma once

#include "Machine/ComRuntime.h"
#include "Machine/Faults.h"
#include "Machine/Json.h"
#include "Machine/Machine.h"
#include "Machine/MachineBuilder.h"
#include "Support/FakeWbem.h"
#include "Support/TestMachine.h"
#include "Support/TraceTest.h"

#include <gtest/gtest.h>

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
        sim::Machine::Get().Faults().Clear();
        ExpectLedgerUnchanged(m_before);
    }

    // The records of one of the machine's output files from the `from`-th on.
    static std::vector<sim::Json> MachineRecords(const char* file, size_t from = 0) {
        std::vector<sim::Json> records;
        std::vector<std::string> lines = sim::Machine::Get().Records(file);
        for (size_t i = from; i < lines.size(); ++i) {
            records.push_back(sim::Json::Parse(lines[i]));
        }
        return records;
    }

    inline static std::unique_ptr<TestMachine> s_machine;
    sim::LedgerSnapshot m_before;
};

}  // namespace test
