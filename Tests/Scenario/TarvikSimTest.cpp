// tarvik-sim itself: what it does with input it cannot use, and a machine whose directory's path
// is longer than a socket address can hold.
#include <windows.h>

#include "Machine/Machine.h"
#include "Scenario/ServiceMachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// tarvik-sim with these arguments (each quoted for the shell); its stderr goes to `errorFile`.
// Its exit code.
int Sim(const std::vector<std::string>& arguments, const std::string& errorFile) {
    std::string command = TARVIK_SIM;
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    return test::ExitCodeOf(command + " >/dev/null 2>'" + errorFile + "'");
}

TEST(TarvikSim, BadInputGivesOneLineAndTheDocumentedExitCode) {
    test::TestMachine machine(
        "{\"hyperv\": {\"switches\": [{\"name\": \"S\"}], \"vms\": [{\"name\": \"web-01\", "
        "\"adapters\": [{\"mac\": \"00155D0A0101\", \"switch\": \"S\"}]}]}}");
    // A program whose path has a blank: it passes when its argument kept its blanks and it runs
    // on the machine.
    machine.WriteFile("my tools/check.sh",
                      "#!/bin/sh\n[ \"$1\" = 'two  words' ] && [ -d \"$TARVIK_MACHINE\" ]\n");
    std::filesystem::permissions(machine.PathOf("my tools/check.sh"),
                                 std::filesystem::perms::owner_all);
    const std::string missing = machine.PathOf("no such machine");
    struct Case {
        int exitCode;
        std::string error;                   // the first line of stderr
        std::vector<std::string> arguments;  // after -m MACHINE -s TestService
        std::string scenario = "";           // when set, run as `run scenario.txt`
        bool usageFollows = false;
    };
    // One row for each kind of fault; a number that does not parse: control CODE on the command
    // line, wait SECONDS in a scenario.
    const Case cases[] = {
        {2,
         "tarvik-sim: control CODE: expected a control code from 0 to 4294967295, found \"abc\"",
         {"control", "abc"}},
        // Each command takes only its own options.
        {2,
         "tarvik-sim: usage: tarvik-sim [-m MACHINE] [-s SERVICE] status",
         {"status", "--timeout", "3"}},
        {2, "tarvik-sim: unknown command \"frob\"", {"frob"}, "", true},
        {1, "tarvik-sim: " + missing + ": no such machine directory", {"-m", missing, "status"}},
        {2,
         "tarvik-sim: set-vlan: expected a VLAN id from 0 to 4094, found \"4095\"",
         {"set-vlan", "web-01", "A1", "4095"}},
        {1, "tarvik-sim: set-vlan: no VM named", {"set-vlan", "nobody", "A1", "10"}},
        {1, "scenario.txt:1: /bin/sh exited with 3", {}, "exec \"/bin/sh\" \"-c\" \"exit 3\"\n"},
        {1,
         "scenario.txt:2: wait SECONDS: expected seconds from 0 to 86400, found \"x\"",
         {},
         "exec \"" + machine.PathOf("my tools/check.sh") + "\" \"two  words\"\nwait RUNNING x\n"},
        {1, "scenario.txt:1: " + missing + ": No such file", {}, "exec \"" + missing + "\"\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"-m", machine.Dir(), "-s", "TestService"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        if (!c.scenario.empty()) {
            machine.WriteFile("scenario.txt", c.scenario);
            arguments.insert(arguments.end(), {"run", machine.PathOf("scenario.txt")});
        }
        SCOPED_TRACE(c.scenario.empty() ? c.arguments.back() : c.scenario);
        int code = Sim(arguments, machine.PathOf("stderr.txt"));
        std::string error = machine.ReadFile("stderr.txt");
        EXPECT_EQ(code, c.exitCode) << error;
        std::string first = error.substr(0, error.find('\n'));
        EXPECT_NE(first.find(c.error), std::string::npos) << error;
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n') > 1, c.usageFollows) << error;
    }
}

// One team on an external switch with one VM, on a Hyper-V host.
const std::string kHyperV = std::string(test::kOneTeam) + R"("hyperv": {
    "switches": [{"name": "External", "adapter": "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}"}],
    "vms": [{"name": "web-01",
             "adapters": [{"mac": "00155D0A0101", "switch": "External", "vlan": 10}]}]})";

// A scenario runs its lines in order against the service, and fails at the first that fails.
// `show` puts the team beside what the driver holds: in step once the service told it, and the
// difference a change made while the service is stopped leaves.
TEST(TarvikSim, RunsAScenarioAndShowsTheDriversView) {
    test::ServiceMachine machine(kHyperV, test::kVmmsRegistry);
    ASSERT_EQ(machine.Run("-i"), 0);
    // Once the service's first pass told the driver, show says so.
    const std::string inStep = "exec /bin/sh -c \"for i in $(seq 50); do " +
                               std::string(TARVIK_SIM) +
                               " show | grep -qx '  in step' && exit; sleep 0.1; done; exit 1\"\n";
    machine.Machine().WriteFile("scenario.txt",
                                "start\nwait RUNNING 10\nexpect state RUNNING\n"
                                "set-registry HKLM\\SOFTWARE\\Test Flag dword:1\n"
                                "expect registry HKLM\\SOFTWARE\\Test Flag dword:1\n" +
                                    inStep +
                                    "stop\nwait STOPPED 10\ntry stop\nexpect error 1062\n"
                                    "set-vlan web-01 A1 20\n");
    EXPECT_EQ(machine.Sim("run " + machine.Machine().PathOf("scenario.txt")), 0);
    EXPECT_EQ(test::ExitCodeOf(std::string(TARVIK_SIM) + " -m '" + machine.Machine().Dir() +
                               "' show >'" + machine.Machine().PathOf("show.txt") + "'"),
              0);
    EXPECT_EQ(machine.Machine().ReadFile("show.txt"),
              "team {7D2E4B60-1A3C-4F8E-B002-00000000AAAA} \"Team A\": switch \"External\"\n"
              "  VM               MAC          VLAN | DRIVER       VLAN\n"
              "! web-01           00155D0A0101 20   | 00155D0A0101 10    <- the VLAN differs\n"
              "  1 difference\n");
    machine.Machine().WriteFile("failing.txt", "expect state RUNNING\n");
    EXPECT_EQ(machine.Sim("run " + machine.Machine().PathOf("failing.txt")), 1);
}

// A socket address holds 107 bytes of a path; the host's socket lies in the machine directory.
TEST(TarvikSim, HostWorksWhateverTheLengthOfTheMachinePath) {
    test::TestMachine base;
    std::string dir = base.PathOf(std::string(60, 'a') + "/" + std::string(60, 'b'));
    ASSERT_GT(dir.size(), 120u);
    std::filesystem::create_directories(dir + "/drive_c/Test");
    std::filesystem::create_symlink(TARVIK_SERVICE_EXE, dir + "/drive_c/Test/OTarvikMonitor.exe");
    std::filesystem::create_directory_symlink(dir, base.PathOf("short"));
    sim::Machine::Use(dir);
    test::ScopedService manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    test::ScopedService service(
        CreateServiceW(manager, test::kServiceName, test::kServiceName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       TEXT("C:\\Test\\OTarvikMonitor.exe"), NULL, NULL, NULL, NULL, NULL));
    ASSERT_TRUE(service) << GetLastError();

    EXPECT_EQ(Sim({"-m", dir, "-s", test::kServiceNameText, "start"}, base.PathOf("stderr.txt")), 0)
        << base.ReadFile("stderr.txt");
    // This process, and tarvik-sim through a short link to the directory, reach the same host.
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Sim({"-m", base.PathOf("short"), "-s", test::kServiceNameText, "control", "4"},
                  base.PathOf("stderr.txt")),
              0)
        << base.ReadFile("stderr.txt");

    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_TRUE(test::WaitUntil([] { return !sim::services::Hosted(test::kServiceName); }));
}

}  // namespace
