// The service control manager end to end: our test service installed with CreateServiceW,
// started and controlled through tarvik-sim, and controlled from this process as another
// program on the machine would.
#include <windows.h>

#include "Machine/Json.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using test::ScopedService;

const WCHAR kName[] = TEXT("TestService");

struct Report {
    long long state, checkPoint, accepted;
    std::string from;
};

class ServiceHost : public testing::Test {
protected:
    void SetUp() override {
        m_machine.MakeDirectory("drive_c/Program Files/Test");
        std::filesystem::create_symlink(
            TARVIK_TEST_SERVICE, m_machine.PathOf("drive_c/Program Files/Test/TestService.exe"));
        ScopedService manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager);
        // The blank makes the quotes matter: unquoted, "C:\Program" would be tried first.
        ScopedService service(CreateServiceW(
            manager, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
            TEXT("\"C:\\Program Files\\Test\\TestService.exe\""), NULL, NULL, NULL, NULL, NULL));
        ASSERT_TRUE(service) << GetLastError();
    }

    int Sim(const std::string& arguments) {
        std::string command = std::string(TARVIK_SIM) + " -m " + m_machine.Dir() + " -s " +
                              "TestService " + arguments + " >/dev/null 2>&1";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<Report> Reports() {
        std::vector<Report> reports;
        std::istringstream lines(m_machine.ReadFile("scm.jsonl"));
        for (std::string line; std::getline(lines, line);) {
            sim::Json record = sim::Json::Parse(line);
            reports.push_back({static_cast<long long>(record.Find("state")->Number()),
                               static_cast<long long>(record.Find("checkPoint")->Number()),
                               static_cast<long long>(record.Find("controlsAccepted")->Number()),
                               record.Find("from")->String()});
        }
        return reports;
    }

    void ExpectStates(const std::vector<std::pair<int, int>>& expected) {
        std::vector<Report> reports = Reports();
        ASSERT_EQ(reports.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(reports[i].state, expected[i].first);
            EXPECT_EQ(reports[i].checkPoint, expected[i].second);
            EXPECT_EQ(reports[i].from, "service");
        }
    }

    test::TestMachine m_machine;
};

TEST_F(ServiceHost, StartControlAndStopReportEveryStatus) {
    ASSERT_EQ(Sim("start"), 0);
    ScopedService manager(OpenSCManagerW(NULL, NULL, GENERIC_READ));
    ScopedService service(OpenServiceW(manager, kName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);

    SERVICE_STATUS_PROCESS process;
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<LPBYTE>(&process), sizeof(process), &needed));
    EXPECT_EQ(process.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(process.dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));
    EXPECT_NE(process.dwProcessId, 0u);

    // A second start while it runs, and a control it does not implement.
    EXPECT_NE(Sim("start"), 0);
    SERVICE_STATUS status;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PRESHUTDOWN, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ControlService(service, 200, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

    // The stop completes inside the handler: ControlService returns the stopped state.
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ExpectStates({{2, 1}, {2, 2}, {2, 3}, {4, 0}, {3, 1}, {3, 2}, {1, 0}});
    EXPECT_EQ(Reports()[3].accepted, 0x101);

    SetLastError(0xdeadbeef);
    for (int tries = 0;
         tries < 500 && ControlService(service, SERVICE_CONTROL_INTERROGATE, &status); ++tries) {
        usleep(10000);  // until the host has seen the process end
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

TEST_F(ServiceHost, ShutdownSendsPreShutdownAndScenarioRuns) {
    ASSERT_EQ(Sim("start"), 0);
    EXPECT_EQ(Sim("control 4"), 0);
    EXPECT_EQ(Sim("shutdown"), 0);
    ExpectStates({{2, 1}, {2, 2}, {2, 3}, {4, 0}, {3, 1}, {3, 2}, {1, 0}});

    m_machine.WriteFile("scenario.txt",
                        "start\nwait RUNNING 10\nexpect state RUNNING\n"
                        "set-registry HKLM\\SOFTWARE\\Test Flag dword:1\n"
                        "expect registry HKLM\\SOFTWARE\\Test Flag dword:1\n"
                        "stop\nwait STOPPED 10\ntry stop\nexpect error 1062\n");
    EXPECT_EQ(Sim("run " + m_machine.PathOf("scenario.txt")), 0);
    m_machine.WriteFile("failing.txt", "expect state RUNNING\n");
    EXPECT_EQ(Sim("run " + m_machine.PathOf("failing.txt")), 1);
}

TEST_F(ServiceHost, DeleteWhileRunningRemovesTheServiceWhenItStops) {
    ASSERT_EQ(Sim("start"), 0);
    ScopedService manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    ScopedService service(OpenServiceW(manager, kName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(DeleteService(service));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateServiceW(manager, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, TEXT("C:\\x.exe"), NULL,
                             NULL, NULL, NULL, NULL),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    service.Reset();  // still running: the key stays

    SetLastError(0xdeadbeef);
    service.Reset(OpenServiceW(manager, kName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    service.Reset();
    for (int tries = 0; tries < 500; ++tries) {
        service.Reset(OpenServiceW(manager, kName, SERVICE_QUERY_STATUS));
        if (!service) {
            break;
        }
        service.Reset();
        usleep(10000);
    }
    EXPECT_FALSE(service);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceHost, DispatcherWithoutHostFailsAsFromAConsole) {
    std::string command = std::string("TARVIK_SERVICE_HOST= TARVIK_MACHINE=") + m_machine.Dir() +
                          " " + TARVIK_TEST_SERVICE + " >/dev/null";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT & 0xFF);
    EXPECT_TRUE(Reports().empty());
}

}  // namespace
