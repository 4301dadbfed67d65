// The Linux test processes' main: every test process runs on a private machine of its own, with
// a C: drive and an empty registry, as a Windows test would run on a fresh machine.
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    test::TestMachine machine;
    return RUN_ALL_TESTS();
}
