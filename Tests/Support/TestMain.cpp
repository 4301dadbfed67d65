// The Linux test processes' main: every test process runs on a private machine of its own, with
// a C: drive and an empty registry, as a Windows test would run on a fresh machine.
#include "Machine/Machine.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <memory>

namespace {

// A "threadsafe" death test runs the test binary again for one test, and that child ends in
// _exit: it works on its parent's machine rather than making one it could never remove.
const char kParentMachine[] = "TARVIK_TEST_PARENT_MACHINE";

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<test::TestMachine> machine;
    if (const char* parent = getenv(kParentMachine)) {
        sim::Machine::Use(parent);
    } else {
        machine = std::make_unique<test::TestMachine>();
        setenv(kParentMachine, machine->Dir().c_str(), 1);
    }
    return RUN_ALL_TESTS();
}
