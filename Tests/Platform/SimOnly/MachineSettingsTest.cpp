#include "Machine/Machine.h"
#include "Machine/Settings.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

namespace {

TEST(MachineSettings, DefaultsWithoutAFile) {
    sim::MachineSettings s = sim::ParseSettings("{}", "machine.json");
    EXPECT_EQ(10u, s.os.major);
    EXPECT_EQ(1252u, s.ansiCodePage);
    EXPECT_EQ("en-US", s.uiLanguage);
    EXPECT_EQ(u"C:\\Windows\\Temp", s.temp);
    EXPECT_FALSE(s.clock.virtualTime);
}

}  // namespace
