// On Linux the test's machine declares the libraries the resource compiler builds on Windows,
// from the same strings, in the directory the test is told.
#include "DaruvuZarStrings.h"

#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

const char kMachine[] = R"({"libraries": [
  {"name": "C:\\Res\\DaruvuZarenu.dll", "strings": {"en-US":
    {"5": ")" DARUVUZAR_ENU_FAN_FAILED R"(", "6": ")" DARUVUZAR_ENU_STOPPED R"("}}},
  {"name": "C:\\Res\\DaruvuZardeu.dll", "strings": {"de-DE": {"5": ")" DARUVUZAR_DEU_FAN_FAILED
                        R"("}}}
]})";

class SimLibraries : public testing::Environment {
public:
    void SetUp() override { m_machine = std::make_unique<test::TestMachine>(kMachine); }
    void TearDown() override { m_machine.reset(); }

private:
    std::unique_ptr<test::TestMachine> m_machine;
};

const testing::Environment* const g_libraries = testing::AddGlobalTestEnvironment(new SimLibraries);

}  // namespace
