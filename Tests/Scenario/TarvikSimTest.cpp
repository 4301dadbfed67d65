// tarvik-sim itself: what it does with input it cannot use, and a machine whose directory's path
// is longer than a socket address can hold.
#include <windows.h>

#include "Machine/Machine.h"
#include "Machine/Services.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// tarvik-sim with these arguments, run without a shell; its stderr goes to `errorFile`. Its
// status as waitpid gives it.
int Sim(const std::vector<std::string>& arguments, const std::string& errorFile) {
    std::vector<std::string> words{TARVIK_SIM};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    return status;
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
    const std::string scenario = machine.PathOf("scenario.txt");
    struct Case {
        std::vector<std::string> arguments;  // after -m MACHINE -s TestService
        std::string scenario;                // when set, run as `run scenario.txt`
        int exitCode;
        std::string error;  // the first line of stderr
        bool usageFollows;
    };
    const Case cases[] = {
        {{"control", "abc"},
         "",
         2,
         "tarvik-sim: control CODE: expected a control code from 0 to 4294967295, found \"abc\"",
         false},
        {{"control", "0x1z"}, "", 2, "found \"0x1z\"", false},
        {{"start", "--timeout", "x"},
         "",
         2,
         "tarvik-sim: --timeout: expected seconds from 0 to 86400, found \"x\"",
         false},
        {{"start", "--timeout", "-1"}, "", 2, "found \"-1\"", false},
        {{"frob"}, "", 2, "tarvik-sim: unknown command \"frob\"", true},
        {{"-m", missing, "status"},
         "",
         1,
         "tarvik-sim: " + missing + ": no such machine directory",
         false},
        {{"set-vlan", "web-01", "A1", "4095"},
         "",
         2,
         "tarvik-sim: set-vlan: expected a VLAN id from 0 to 4094, found \"4095\"",
         false},
        {{"set-vlan", "nobody", "A1", "10"}, "", 1, "tarvik-sim: set-vlan: no VM named", false},
        {{},
         "exec \"/bin/sh\" \"-c\" \"exit 3\"\n",
         1,
         "scenario.txt:1: /bin/sh exited with 3",
         false},
        {{},
         "exec \"" + machine.PathOf("my tools/check.sh") + "\" \"two  words\"\nwait RUNNING x\n",
         1,
         "scenario.txt:2: wait SECONDS: expected seconds from 0 to 86400, found \"x\"",
         false},
        {{}, "sleep 1.5\n", 1, "scenario.txt:1: sleep MS: expected milliseconds", false},
        {{},
         "try control 4\nexpect error 0x\n",
         1,
         "scenario.txt:2: expect error N: expected",
         false},
        {{},
         "exec \"" + missing + "\"\n",
         1,
         "scenario.txt:1: " + missing + ": No such file",
         false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"-m", machine.Dir(), "-s", "TestService"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        if (!c.scenario.empty()) {
            machine.WriteFile("scenario.txt", c.scenario);
            arguments.insert(arguments.end(), {"run", scenario});
        }
        SCOPED_TRACE(c.scenario.empty() ? c.arguments.back() : c.scenario);
        int status = Sim(arguments, machine.PathOf("stderr.txt"));
        std::string error = machine.ReadFile("stderr.txt");
        ASSERT_FALSE(WIFSIGNALED(status)) << WTERMSIG(status) << ": " << error;
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << error;
        std::string first = error.substr(0, error.find('\n'));
        EXPECT_NE(first.find(c.error), std::string::npos) << error;
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n') > 1, c.usageFollows) << error;
    }
}

// A socket address holds 107 bytes of a path; the host's socket lies in the machine directory.
TEST(TarvikSim, HostWorksWhateverTheLengthOfTheMachinePath) {
    test::TestMachine base;
    std::string dir = base.PathOf(std::string(60, 'a') + "/" + std::string(60, 'b'));
    ASSERT_GT(dir.size(), 120u);
    std::filesystem::create_directories(dir + "/drive_c/Test");
    std::filesystem::create_symlink(TARVIK_TEST_SERVICE, dir + "/drive_c/Test/TestService.exe");
    std::filesystem::create_directory_symlink(dir, base.PathOf("short"));
    sim::Machine::Use(dir);
    test::ScopedService manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    test::ScopedService service(
        CreateServiceW(manager, TEXT("TestService"), TEXT("TestService"), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       TEXT("C:\\Test\\TestService.exe"), NULL, NULL, NULL, NULL, NULL));
    ASSERT_TRUE(service) << GetLastError();

    EXPECT_EQ(Sim({"-m", dir, "-s", "TestService", "start"}, base.PathOf("stderr.txt")), 0)
        << base.ReadFile("stderr.txt");
    // This process, and tarvik-sim through a short link to the directory, reach the same host.
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Sim({"-m", base.PathOf("short"), "-s", "TestService", "control", "4"},
                  base.PathOf("stderr.txt")),
              0)
        << base.ReadFile("stderr.txt");

    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    for (int tries = 0; tries < 500 && sim::services::Hosted(u"TestService"); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(sim::services::Hosted(u"TestService"));
}

}  // namespace
