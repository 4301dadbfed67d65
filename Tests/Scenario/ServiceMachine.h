// A machine for the real OTarvikMonitor executable: the executable placed in its drive, the
// management software's registry keys, and what the scenarios need to drive and observe it:
// tarvik-sim, the program run with a switch, the status reports and the trace file.
#pragma once

#include <windows.h>

#include "Machine/Json.h"
#include "Machine/MachineBuilder.h"
#include "Machine/Services.h"
#include "Machine/Settings.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace test {

const WCHAR kServiceName[] = TEXT("Orvex(R) Tarvik Monitoring Service");
const char kServiceKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Orvex(R) Tarvik Monitoring Service";
const WCHAR kZel2Key[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2");
const WCHAR kTalmKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM");

// The management software's keys as the installer leaves them: the trace goes into ZEL2's
// "InstalledDir".
const char kManagementRegistry[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2]\n"
    "\"InstalledDir\"=\"C:\\\\Program Files\\\\Orvex\\\\ZEL2\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM]\n"
    "\"InstallDir\"=\"C:\\\\Program Files\\\\Orvex\\\\TALM\\\\\"\n";

struct StatusReport {
    long long state, checkPoint, accepted, tick;
    std::string from;
};

class ServiceMachine {
public:
    // `settings`: further members of machine.json (after a comma), `registry`: further
    // registry.reg text. The executable lies in `installDir` (a Windows path under C:\), which
    // is also the current directory its processes start in. The clock runs 50 times as fast.
    explicit ServiceMachine(const std::string& settings = "", const std::string& registry = "",
                            const std::string& installDir = "C:\\Program Files\\Orvex\\TALM")
        : m_machine(MachineJson(installDir, settings),
                    std::string(kManagementRegistry) + "\n" + registry) {
        // The adapters and teams machine.json declares, written into the registry.
        EXPECT_EQ(sim::BuildMachine(m_machine.Dir()), static_cast<DWORD>(ERROR_SUCCESS));
        m_machine.MakeDirectory("drive_c/Program Files/Orvex/ZEL2");
        m_machine.MakeDirectory(DrivePath(installDir));
        std::filesystem::create_symlink(
            TARVIK_SERVICE_EXE, m_machine.PathOf(DrivePath(installDir) + "/OTarvikMonitor.exe"));
    }

    ~ServiceMachine() {
        // A service left running (or stuck stopping) ends with the test; one that stopped is
        // let finish its exit, whose sanitizer reports count too.
        if (Status().dwCurrentState != SERVICE_STOPPED) {
            pid_t pid = static_cast<pid_t>(ProcessId());
            if (pid > 0) {
                kill(pid, SIGKILL);
            }
        }
        EXPECT_TRUE(WaitForExit());
        std::string log = m_machine.ReadFile("scm-host.log") + m_machine.ReadFile("runs.log");
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
        // Every process of the service released what it held, but for the one registration the
        // warnings monitor makes in the global interface table.
        for (const sim::Json& record : Records("com-ledger.jsonl")) {
            for (const char* count : {"objects", "strings", "arrays", "badFrees"}) {
                EXPECT_EQ(record.Find(count)->Number(), 0) << count;
            }
            EXPECT_LE(record.Find("globalTable")->Number(), 1);
        }
    }

    static std::string MachineJson(const std::string& installDir, const std::string& settings) {
        std::string escaped;
        for (char c : installDir) {
            escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        }
        return "{\"clock\": {\"scale\": 50}, \"currentDirectory\": \"" + escaped + "\"" +
               (settings.empty() ? "" : ", " + settings) + "}";
    }

    const TestMachine& Machine() const { return m_machine; }

    // Runs the executable as an administrator would, without a service control manager; its
    // exit code. Its output goes to runs.log (checked for sanitizer reports).
    int Run(const std::string& arguments) {
        std::string command = "TARVIK_SERVICE_HOST= TARVIK_MACHINE='" + m_machine.Dir() + "' '" +
                              TARVIK_SERVICE_EXE + "' " + arguments + " >>'" +
                              m_machine.PathOf("runs.log") + "' 2>&1";
        return ExitCodeOf(command);
    }

    // tarvik-sim on this machine and the service; its exit code. A stop or shutdown that
    // succeeded also waits for the service's process to end: the service control manager takes
    // no new start while it is still there.
    int Sim(const std::string& arguments) {
        // The service's processes write their leak ledger at exit.
        std::string command = "TARVIK_COM_LEDGER=1 " + std::string(TARVIK_SIM) + " -m '" +
                              m_machine.Dir() + "' -s 'Orvex(R) Tarvik Monitoring Service' " +
                              arguments + " >/dev/null 2>&1";
        int code = ExitCodeOf(command);
        if (code == 0 && (arguments.rfind("stop", 0) == 0 || arguments.rfind("shutdown", 0) == 0)) {
            EXPECT_TRUE(WaitForExit());
        }
        return code;
    }

    // Until the host has seen the service's process end: a service that reported stopped may
    // still be running its exit, and the service control manager starts no second process.
    bool WaitForExit() const {
        for (int tries = 0; tries < 2000; ++tries) {
            if (!sim::services::Hosted(u"Orvex(R) Tarvik Monitoring Service")) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::vector<StatusReport> Reports() const {
        std::vector<StatusReport> reports;
        std::istringstream lines(m_machine.ReadFile("scm.jsonl"));
        for (std::string line; std::getline(lines, line);) {
            sim::Json record = sim::Json::Parse(line);
            reports.push_back({static_cast<long long>(record.Find("state")->Number()),
                               static_cast<long long>(record.Find("checkPoint")->Number()),
                               static_cast<long long>(record.Find("controlsAccepted")->Number()),
                               static_cast<long long>(record.Find("tick")->Number()),
                               record.Find("from")->String()});
        }
        return reports;
    }

    // The messages of the trace file (each line without its header), in order.
    std::vector<std::string> Trace() const {
        std::vector<std::string> messages;
        std::string text = m_machine.ReadFile("drive_c/Program Files/Orvex/ZEL2/TARVIKMonitor.txt");
        size_t begin = 0;
        for (size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
            std::string line = text.substr(begin, end - begin);
            size_t tabs = line.find("\t\t");
            messages.push_back(tabs == std::string::npos ? line : line.substr(tabs + 2));
        }
        return messages;
    }

    bool Traced(const std::string& message) const {
        std::vector<std::string> trace = Trace();
        return std::find(trace.begin(), trace.end(), message) != trace.end();
    }

    // Waits (real time) until the trace holds `message`.
    bool WaitForTrace(const std::string& message, int seconds = 20) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!Traced(message)) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Fails the test unless `expected` appear in the trace in this order (others may lie
    // between them).
    void ExpectTraceInOrder(const std::vector<std::string>& expected) const {
        std::vector<std::string> trace = Trace();
        auto at = trace.begin();
        for (const std::string& message : expected) {
            auto found = std::find(at, trace.end(), message);
            ASSERT_NE(found, trace.end()) << "not traced (in this order): " << message;
            at = found + 1;
        }
    }

    SERVICE_STATUS_PROCESS Status() const {
        SERVICE_STATUS_PROCESS status = {};
        test::ScopedService manager(OpenSCManagerW(NULL, NULL, GENERIC_READ));
        test::ScopedService service(OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS));
        DWORD needed = 0;
        if (service) {
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                 sizeof(status), &needed);
        }
        return status;
    }
    DWORD ProcessId() const { return Status().dwProcessId; }

    bool WaitForState(DWORD state) const {
        for (int tries = 0; tries < 2000; ++tries) {
            if (Status().dwCurrentState == state) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The service's registration: ERROR_SUCCESS or the error of OpenServiceW.
    DWORD Registered() const {
        test::ScopedService manager(OpenSCManagerW(NULL, NULL, GENERIC_READ));
        SetLastError(0xdeadbeef);
        test::ScopedService service(OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG));
        return service ? ERROR_SUCCESS : GetLastError();
    }

    // A value under HKEY_LOCAL_MACHINE: the error of the read, its type and its bytes.
    static LONG ReadValue(const WCHAR* key, const WCHAR* name, DWORD* type, std::string* data) {
        test::ScopedKey handle;
        LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, handle.Receive());
        if (error != ERROR_SUCCESS) {
            return error;
        }
        BYTE buffer[2048] = {};
        DWORD size = sizeof(buffer);
        error = RegQueryValueExW(handle, name, NULL, type, buffer, &size);
        data->assign(reinterpret_cast<const char*>(buffer), error == ERROR_SUCCESS ? size : 0);
        return error;
    }
    // A REG_DWORD's value, or -1 when there is none.
    static long long ReadDword(const WCHAR* key, const WCHAR* name) {
        DWORD type = 0;
        std::string data;
        if (ReadValue(key, name, &type, &data) != ERROR_SUCCESS || type != REG_DWORD ||
            data.size() != 4) {
            return -1;
        }
        DWORD value = 0;
        memcpy(&value, data.data(), 4);
        return value;
    }
    // A string value as UTF-8, or "(none)".
    static std::string ReadString(const WCHAR* key, const WCHAR* name) {
        DWORD type = 0;
        std::string data;
        if (ReadValue(key, name, &type, &data) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ)) {
            return "(none)";
        }
        std::u16string text(data.size() / 2, u'\0');
        memcpy(&text[0], data.data(), text.size() * 2);
        return sim::Utf16ToUtf8(text.c_str());
    }
    static void WriteDword(const WCHAR* key, const WCHAR* name, DWORD value) {
        test::ScopedKey handle;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                  handle.Receive(), NULL),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                 sizeof(value)),
                  ERROR_SUCCESS);
    }

    // The records of an output file (libraries.jsonl, processes.jsonl, ...).
    std::vector<sim::Json> Records(const std::string& file) const {
        std::vector<sim::Json> records;
        std::istringstream lines(m_machine.ReadFile(file));
        for (std::string line; std::getline(lines, line);) {
            records.push_back(sim::Json::Parse(line));
        }
        return records;
    }

private:
    static std::string DrivePath(const std::string& windowsPath) {
        std::string path = "drive_c" + windowsPath.substr(2);
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    }

    static int ExitCodeOf(const std::string& command) {
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TestMachine m_machine;
};

}  // namespace test
