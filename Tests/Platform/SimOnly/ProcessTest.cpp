// Programs on the machine's disk: how CreateProcessW finds them, how long their processes run on
// the machine's (virtual) clock, termination, and processes.jsonl.
#include <windows.h>

#include "LastError.h"
#include "Machine/Clock/Clock.h"
#include "Machine/Machine.h"
#include "Machine/Settings/Settings.h"
#include "Support/ScopedHandles.h"
#include "Support/Records.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Each test's thread is attached to the virtual clock, so that time moves only while it waits, as
// for a platform thread: a program's run time passes while the test waits or sleeps.
const char kMachine[] = R"({
    "clock": {"mode": "virtual"},
    "programs": [
        {"path": "C:\\Windows\\system32\\OrvexDCB.exe", "runSeconds": 3},
        {"path": "C:\\Program Files\\Orvex\\tool.exe", "runSeconds": 0},
        {"path": "C:\\Windows\\Temp\\stuck.exe", "neverExits": true}
    ]
})";

struct Started {
    BOOL ok;
    DWORD error;
    PROCESS_INFORMATION info;
    test::ScopedHandle process, thread;  // info's, closed with it
};

Started Start(const char16_t* application, const std::u16string& commandLine,
              const char16_t* directory = nullptr) {
    std::u16string writable = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    Started started = {};
    SetLastError(0xdeadbeef);
    started.ok =
        CreateProcessW(application, commandLine.empty() ? nullptr : &writable[0], nullptr, nullptr,
                       FALSE, CREATE_NO_WINDOW, nullptr, directory, &startup, &started.info);
    started.error = GetLastError();
    started.process.Reset(started.info.hProcess);
    started.thread.Reset(started.info.hThread);
    return started;
}

TEST(Process, RunsForItsTimeOnTheMachinesClockOrUntilTerminated) {
    test::TestMachine machine(kMachine);
    sim::Clock::Attachment attached(sim::Machine::Get().Clock());
    DWORD before = GetTickCount();
    Started dcb =
        Start(nullptr, u"\"C:\\Windows\\system32\\OrvexDCB.exe\" /Unreg", u"C:\\Windows\\system32");
    ASSERT_TRUE(dcb.ok) << dcb.error;
    EXPECT_NE(dcb.info.dwProcessId, dcb.info.dwThreadId);
    EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(dcb.info.hProcess, INFINITE));
    EXPECT_EQ(DWORD(3000), GetTickCount() - before);
    // The primary thread ends with its process.
    EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(dcb.info.hThread, 0));
    EXPECT_LAST_ERROR(FALSE, ERROR_ACCESS_DENIED, TerminateProcess(dcb.info.hProcess, 1));

    // One that never exits ends when terminated.
    Started stuck = Start(u"C:\\Windows\\Temp\\stuck.exe", u"");
    ASSERT_TRUE(stuck.ok) << stuck.error;
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(stuck.info.hProcess, 60000));
    EXPECT_TRUE(TerminateProcess(stuck.info.hProcess, 42));
    EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(stuck.info.hProcess, 0));
}

TEST(Process, FindsProgramsAsWindowsDoes) {
    test::TestMachine machine(kMachine);
    sim::Clock::Attachment attached(sim::Machine::Get().Clock());
    machine.MakeDirectory("drive_c/Program Files/Orvex");
    const struct {
        const char16_t *application, *commandLine, *directory;
        DWORD error;
        const char* found;
    } cases[] = {
        {nullptr, u"orvexdcb.exe /Unreg", nullptr, 0, "C:\\Windows\\system32\\OrvexDCB.exe"},
        {nullptr, u"C:\\Program Files\\Orvex\\tool -x", nullptr, 0,
         "C:\\Program Files\\Orvex\\tool.exe"},
        {nullptr, u"\"C:\\Program Files\\Orvex\\tool.exe\"", u"C:\\Windows", 0,
         "C:\\Program Files\\Orvex\\tool.exe"},
        {u"C:\\Program Files\\Orvex\\tool.exe", u"tool -x", nullptr, 0,
         "C:\\Program Files\\Orvex\\tool.exe"},
        // No extension is supplied to an application name.
        {u"C:\\Program Files\\Orvex\\tool", u"tool -x", nullptr, ERROR_FILE_NOT_FOUND, nullptr},
        {nullptr, u"\"C:\\Program Files\\Nothing\\tool.exe\"", nullptr, ERROR_PATH_NOT_FOUND,
         nullptr},
        {nullptr, u"C:\\Windows\\system32\\OrvexDCB.exe /Unreg", u"C:\\No\\Such", ERROR_DIRECTORY,
         nullptr},
        {nullptr, u"stuck.exe", nullptr, ERROR_FILE_NOT_FOUND, nullptr},  // not on the path
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::Utf16ToUtf8(c.commandLine));
        Started started = Start(c.application, c.commandLine, c.directory);
        EXPECT_EQ(c.error, started.ok ? 0u : started.error);
        if (started.ok) {
            std::vector<sim::Json> records = test::Records("processes.jsonl");
            ASSERT_FALSE(records.empty());
            EXPECT_EQ(c.found, records.back().Find("application")->String());
            TerminateProcess(started.info.hProcess, 0);
            WaitForSingleObject(started.info.hProcess, INFINITE);
        }
    }
}

}  // namespace
