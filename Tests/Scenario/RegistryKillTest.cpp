// A process killed while it writes the registry: at any point, the machine's registry still loads
// and holds either the value before a write or the one after it.
#include <windows.h>

#include "Machine/Registry/RegFile.h"
#include "Scenario/ServiceMachine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>

namespace {

const char kKey[] = "HKLM\\SOFTWARE\\Kill";

// Write n: "n:" and n % 97 letters, so that a torn value cannot pass for a whole one.
std::string Value(int n) {
    return std::to_string(n) + ":" + std::string(n % 97, 'x');
}

// The registry file's inode: every save renames a new file into place.
ino_t FileId(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A value is whole when it is the text of the write its number names.
bool IsWhole(const std::string& value, int* n) {
    *n = std::atoi(value.c_str());
    return value == Value(*n);
}

TEST(RegistryKill, AKilledWriterLeavesTheOldStateOrTheNew) {
    test::TestMachine machine(
        "",
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kill]\n\"Blob\"=\"0:\"\n");
    std::ofstream scenario(machine.PathOf("writes.txt"));
    for (int n = 1; n <= 2000; ++n) {
        scenario << "set-registry " << kKey << " Blob sz:" << Value(n) << "\n";
    }
    scenario.close();

    // Made before the fork: the child only execs.
    const std::string dir = machine.Dir(), writes = machine.PathOf("writes.txt");
    const std::string registry = machine.PathOf("registry.reg");
    std::mt19937 random(testing::UnitTest::GetInstance()->random_seed());
    int last = 0;
    int advanced = 0;
    for (int round = 0; round < 100; ++round) {
        ino_t before = FileId(registry);
        // A scenario names a service, though this one controls none.
        pid_t pid = fork();
        if (pid == 0) {
            dup2(open("/dev/null", O_WRONLY), 1);
            execl(TARVIK_SIM, TARVIK_SIM, "-m", dir.c_str(), "-s", "none", "run", writes.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        // The kill's moment counts from the first save, not from the fork: a loaded machine can
        // take longer to start the writer than the whole window.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (FileId(registry) == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 115000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);

        auto tree = sim::NewRegistryTree();
        ASSERT_NO_THROW(sim::ReadRegFile(machine.ReadFile("registry.reg"), *tree))
            << "after kill " << round;
        int n = -1;
        std::string value = test::ServiceMachine::ReadValue(TEXT("SOFTWARE\\Kill"), TEXT("Blob"));
        ASSERT_TRUE(IsWhole(value, &n)) << "after kill " << round << ": " << value.substr(0, 40);
        // Each run starts again at write 1.
        advanced += n != last;
        last = n;
    }
    // Most kills must land among the writes, or the test proves nothing.
    EXPECT_GT(advanced, 50);
}

}  // namespace
