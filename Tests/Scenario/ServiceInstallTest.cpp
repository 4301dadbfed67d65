// Installing and removing the service with -i and -u: the registration the service control
// manager keeps, the description in the machine's language, and removal of a service that is
// stopped, running or not there.
#include <windows.h>

#include "Resources/ServiceStrings.h"
#include "Scenario/ServiceMachine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using test::ServiceMachine;

const WCHAR kServiceKey[] =
    TEXT("SYSTEM\\CurrentControlSet\\Services\\Orvex(R) Tarvik Monitoring Service");

TEST(ServiceInstall, RegistersOnceWithThePathItWasRunFrom) {
    struct Case {
        const char* installDir;
        const char* imagePath;
    };
    const Case cases[] = {
        // Unquoted, "C:\Program" would be tried first.
        {"C:\\Program Files\\Orvex\\TALM",
         "\"C:\\Program Files\\Orvex\\TALM\\OTarvikMonitor.exe\""},
        {"C:\\Orvex", "C:\\Orvex\\OTarvikMonitor.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installDir);
        ServiceMachine machine("", "", c.installDir);
        ASSERT_EQ(machine.Run("-i"), 0);
        machine.ExpectTraceInOrder(
            {"Entering InstallService", "Successfully opened the service control manager",
             "The service does not exist - creating it.", "Entering GetServiceDescription",
             "Exiting GetServiceDescription - bSuccess=1", "Successfully created the service.",
             "Exiting DisposeHandlesForService - bSuccess=1", "Exiting InstallService - Success=1",
             "Successfully installed the service", "Exiting main"});
        EXPECT_EQ(ServiceMachine::ReadString(kServiceKey, TEXT("ImagePath")), c.imagePath);
        EXPECT_EQ(ServiceMachine::ReadDword(kServiceKey, TEXT("Type")), SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(ServiceMachine::ReadDword(kServiceKey, TEXT("Start")), SERVICE_AUTO_START);
        EXPECT_EQ(ServiceMachine::ReadDword(kServiceKey, TEXT("ErrorControl")),
                  SERVICE_ERROR_NORMAL);
        EXPECT_EQ(ServiceMachine::ReadString(kServiceKey, TEXT("DisplayName")),
                  "Orvex(R) Tarvik Monitoring Service");
        EXPECT_EQ(ServiceMachine::ReadString(kServiceKey, TEXT("ObjectName")), "LocalSystem");
        EXPECT_EQ(ServiceMachine::ReadString(kServiceKey, TEXT("Description")),
                  TARVIK_DESCRIPTION_EN_US);

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
        EXPECT_EQ(ServiceMachine::ReadString(kServiceKey, TEXT("ImagePath")), c.imagePath);
        ASSERT_EQ(machine.Sim("stop"), 0);
    }
}

// The description is string 101 in the process's user-interface language; a language the
// executable does not carry falls back to English.
TEST(ServiceInstall, DescriptionInTheUserInterfaceLanguage) {
    struct Case {
        const char* language;
        const char* description;
    };
    const Case cases[] = {
        {"de-DE", TARVIK_DESCRIPTION_DE_DE}, {"ja-JP", TARVIK_DESCRIPTION_JA_JP},
        {"zh-TW", TARVIK_DESCRIPTION_ZH_TW}, {"zh-CN", TARVIK_DESCRIPTION_ZH_CN},
        {"pt-BR", TARVIK_DESCRIPTION_PT_BR}, {"ru-RU", TARVIK_DESCRIPTION_EN_US},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        ServiceMachine machine(std::string("\"uiLanguage\": \"") + c.language + "\"");
        ASSERT_EQ(machine.Run("-i"), 0);
        EXPECT_EQ(ServiceMachine::ReadString(kServiceKey, TEXT("Description")), c.description);
    }
}

TEST(ServiceInstall, UninstallStoppedRunningAndNotInstalled) {
    ServiceMachine machine;
    // Not installed: 1060, and the result is false; the exit code stays 0.
    EXPECT_EQ(machine.Run("-u"), 0);
    machine.ExpectTraceInOrder(
        {"Entering MarkServiceForDelete", "Entering StopMonitors()",
         "Exiting StopMonitor() - bSuccess=1", "Entering GetHandleToService",
         "Succesfully opened the service control manager.",
         "ERROR:  Unable to open the service! - error=1060",
         "Exiting GetHandlesForService - bSuccess=0", "ERROR:  Unable to retrieve service handle!",
         "Exiting DisposeHandlesForService - bSuccess=1",
         "Exiting MarkServiceForDelete - Success=0", "The service did not uninstall."});
    EXPECT_FALSE(machine.Traced("Entering WaitOnStatus - bStartService=0"));

    // Stopped: the first query shows it, and no stop is sent.
    ASSERT_EQ(machine.Run("-i"), 0);
    EXPECT_EQ(machine.Run("-uninstall"), 0);
    machine.ExpectTraceInOrder(
        {"Succesfully opened the service.", "Exiting GetHandlesForService - bSuccess=1",
         "Entering WaitOnStatus - bStartService=0", "New status is updated.  Current state=1",
         "Exiting WaitOnStatus - bServiceChanged=1", "Succesfully deleted the service.",
         "Exiting MarkServiceForDelete - Success=1", "Successfully uninstalled the service."});
    EXPECT_EQ(machine.Registered(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(ServiceMachine::ReadString(kServiceKey, TEXT("ImagePath")), "(none)");
    EXPECT_TRUE(machine.Reports().empty());

    // Running: the stop control completes the stop inside the handler, so the status it returns
    // is stopped and the service is deleted in the same pass.
    ASSERT_EQ(machine.Run("-i"), 0);
    ASSERT_EQ(machine.Sim("start"), 0);
    ASSERT_TRUE(machine.WaitForTrace("Exiting HyperVMonitor::DoMonitor()"));
    EXPECT_EQ(machine.Run("-u"), 0);
    EXPECT_TRUE(machine.Traced("Successfully changed the status"));
    EXPECT_TRUE(machine.Traced("Successfully uninstalled the service."));
    for (int tries = 0; tries < 500 && machine.Registered() == ERROR_SUCCESS; ++tries) {
        // The registration goes once the service's process has ended.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<test::StatusReport> reports = machine.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().state, SERVICE_STOPPED);
    EXPECT_EQ(reports.back().from, "service");
    EXPECT_EQ(machine.Registered(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

}  // namespace
