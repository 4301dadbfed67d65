// Installing and removing the service with -i and -u: the registration the service control
// manager keeps, the description in the machine's language, and removal of a service that is
// stopped, running or not there.
#include <windows.h>

#include "Resources/ServiceStrings.h"
#include "Scenario/ServiceMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test::kServiceKey;
using test::ServiceMachine;

// The registration, and the description in the process's user-interface language.
TEST(ServiceInstall, RegistersOnceWithThePathItWasRunFrom) {
    struct Case {
        const char* installDir;
        const char* imagePath;
        const char* settings;
        const char* description;
    };
    const Case cases[] = {
        // Unquoted, "C:\Program" would be tried first.
        {"C:\\Program Files\\Orvex\\TALM", "\"C:\\Program Files\\Orvex\\TALM\\OTarvikMonitor.exe\"",
         "", TARVIK_DESCRIPTION_EN_US},
        {"C:\\Orvex", "C:\\Orvex\\OTarvikMonitor.exe", R"("uiLanguage": "ja-JP")",
         TARVIK_DESCRIPTION_JA_JP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installDir);
        ServiceMachine machine(c.settings, "", c.installDir);
        ASSERT_EQ(machine.Run("-i"), 0);
        machine.ExpectTraceInOrder({"The service does not exist - creating it.",
                                    "Exiting GetServiceDescription - bSuccess=1",
                                    "Successfully created the service.",
                                    "Exiting InstallService - Success=1", "Exiting main"});
        const std::pair<const WCHAR*, std::string> values[] = {
            {TEXT("ImagePath"), c.imagePath},
            {TEXT("Type"), std::to_string(SERVICE_WIN32_OWN_PROCESS)},
            {TEXT("Start"), std::to_string(SERVICE_AUTO_START)},
            {TEXT("ErrorControl"), std::to_string(SERVICE_ERROR_NORMAL)},
            {TEXT("DisplayName"), test::kServiceNameText},
            {TEXT("ObjectName"), "LocalSystem"},
            {TEXT("Description"), c.description},
        };
        for (const auto& value : values) {
            EXPECT_EQ(ServiceMachine::ReadValue(kServiceKey, value.first), value.second);
        }

        // The path registered starts the service.
        ASSERT_EQ(machine.Sim("start"), 0);
        ASSERT_TRUE(machine.WaitForTrace("Exiting HyperVMonitor::DoMonitor()"));

        // A second -i, from another directory and while the service runs: the registration is
        // left as it is, and the running service's trace file begins anew.
        machine.Machine().WriteFile("machine.json",
                                    ServiceMachine::MachineJson("C:\\Windows\\system32", ""));
        EXPECT_EQ(machine.Run("-install"), 0);
        machine.ExpectTraceInOrder(
            {"Entering InstallService", "WARNING:  Service already exists, skipping install.",
             "Exiting InstallService - Success=1", "Successfully installed the service"});
        EXPECT_FALSE(machine.Traced("Successfully created the service."));
        EXPECT_FALSE(machine.Traced("Entering RunService"));
        EXPECT_EQ(ServiceMachine::ReadValue(kServiceKey, TEXT("ImagePath")), c.imagePath);
        ASSERT_EQ(machine.Sim("stop"), 0);
    }
}

TEST(ServiceInstall, UninstallStoppedRunningAndNotInstalled) {
    ServiceMachine machine;
    // Not installed: 1060, and the result is false; the exit code stays 0.
    EXPECT_EQ(machine.Run("-u"), 0);
    machine.ExpectTraceInOrder({"ERROR:  Unable to open the service! - error=1060",
                                "ERROR:  Unable to retrieve service handle!",
                                "Exiting MarkServiceForDelete - Success=0",
                                "The service did not uninstall."});
    EXPECT_FALSE(machine.Traced("Entering WaitOnStatus - bStartService=0"));

    // Stopped: the first query shows it, and no stop is sent.
    ASSERT_EQ(machine.Run("-i"), 0);
    EXPECT_EQ(machine.Run("-uninstall"), 0);
    machine.ExpectTraceInOrder(
        {"New status is updated.  Current state=1", "Succesfully deleted the service.",
         "Exiting MarkServiceForDelete - Success=1", "Successfully uninstalled the service."});
    EXPECT_EQ(machine.Registered(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_TRUE(machine.Reports().empty());

    // Running: the stop control completes the stop inside the handler, so the status it returns
    // is stopped and the service is deleted in the same pass.
    ASSERT_TRUE(machine.InstallAndStart());
    ASSERT_TRUE(machine.WaitForTrace("Exiting HyperVMonitor::DoMonitor()"));
    EXPECT_EQ(machine.Run("-u"), 0);
    EXPECT_TRUE(machine.Traced("Successfully changed the status"));
    EXPECT_TRUE(machine.Traced("Successfully uninstalled the service."));
    // The registration goes once the service's process has ended.
    EXPECT_TRUE(
        test::WaitUntil([&] { return machine.Registered() == ERROR_SERVICE_DOES_NOT_EXIST; }));
    std::vector<test::StatusReport> reports = machine.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().state, SERVICE_STOPPED);
    EXPECT_EQ(reports.back().from, "service");
}

// Each failing call of -i and -u: its line, and the result false; a -u row runs on an installed
// service, stopped unless the row says it runs.
TEST(ServiceInstall, AFailingCallIsTracedAndFailsTheSwitch) {
    const char kDir[] = "C:\\Program Files\\Orvex\\TALM";
    struct Case {
        const char* run;
        const char* fault;  // function and error
        std::vector<std::string> lines;
        bool running = false;
    };
    const Case cases[] = {
        {"-i",
         R"("OpenSCManagerW", "error": 5)",
         {"ERROR:  Unable to open the service control manager! - error=5"}},
        {"-i",
         R"("CreateServiceW", "error": 5)",
         {"ERROR:  Unable to create the service! - error=5"}},
        {"-i",
         R"("GetModuleHandleW", "error": 126)",
         {"ERROR:  Unable to get the handle to retrieve the description!  Error=126",
          "ERROR:  Unable to retrieve the service description!"}},
        {"-i",
         R"("ChangeServiceConfig2W", "error": 5)",
         {"ERROR:  Unable to add a description to the service! - error=5"}},
        {"-i",
         R"("CloseServiceHandle", "error": 6)",
         {"ERROR:  Unable the close the service handle!  Service was not deleted - error=6",
          "ERROR:  Unable the close the service control manager handle! - error=6",
          "ERROR:  Unable to close the service handle"}},
        {"-u",
         R"("QueryServiceStatusEx", "error": 5)",
         {"ERROR:  Unable to get the current status of the service! - error=5",
          "ERROR:  Unable to stop the service in the wait time provided"}},
        {"-u",
         R"("DeleteService", "error": 5)",
         {"ERROR:  Unable to delete the service! - error=5"}},
        {"-u",
         R"("ControlService", "error": 1061)",
         {"ERROR:  Unable to send SERVICE_CONTROL_STOP command! - error=1061",
          "Exiting WaitOnStatus - bServiceChanged=0"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const std::string fault = R"("faults": [{"function": )" + std::string(c.fault) + "}]";
        bool install = c.run[1] == 'i';
        ServiceMachine machine(install ? fault : "");
        if (!install) {
            ASSERT_EQ(machine.Run("-i"), 0);
            ASSERT_TRUE(!c.running || machine.Sim("start") == 0);
            machine.Machine().WriteFile("machine.json", ServiceMachine::MachineJson(kDir, fault));
        }
        EXPECT_EQ(machine.Run(c.run), 0);
        std::vector<std::string> expected = c.lines;
        expected.push_back(install ? "The service did not install."
                                   : "The service did not uninstall.");
        machine.ExpectTraceInOrder(expected);
    }
}

}  // namespace
