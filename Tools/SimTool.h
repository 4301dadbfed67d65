// What tarvik-sim's commands share: the options, exit codes, checked numbers and the service
// control steps that both the command line and scenario files use.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace simtool {

struct Options {
    std::string machine;
    std::u16string service;
    double timeout = 30;
};

enum ExitCode { kSucceeded = 0, kFailed = 1, kUsageError = 2 };  // 3: Machine::Stop

// Prints "tarvik-sim: MESSAGE" on stderr; returns `code`.
int Fail(const std::string& message, int code = kFailed);

// A numeric argument: what the usage calls it, what it may be.
struct NumberKind {
    const char* argument;
    const char* expected;  // in words, for the error
    double low, high;
    bool integer;  // an integer may also be written 0x and hexadecimal digits
};

extern const NumberKind kControlCode;
extern const NumberKind kTimeout;
extern const NumberKind kWaitSeconds;
extern const NumberKind kSleep;
extern const NumberKind kErrorCode;
extern const NumberKind kDword;
extern const NumberKind kHostAnswer;

// The whole of `text` as a number of that kind; else nothing, and `*error` names the argument,
// what it may be and what it was. No sign, blank, trailing text or infinity gets through.
std::optional<double> ParseNumber(const std::string& text, const NumberKind& kind,
                                  std::string* error);
std::string ErrorText(DWORD error);
// A state's SDK name without its prefix ("RUNNING"); 0 for none.
DWORD StateByName(const std::string& name);
bool WaitForState(const std::u16string& name, DWORD state, double seconds);
// Forks the host into the background; the error of the start.
DWORD Start(const Options& options);
// The pre-shutdown control, or the shutdown control for a service that takes no pre-shutdown.
DWORD ShutdownControl(const Options& options);

// Runs a scenario file (Scenario.cpp); the exit code.
int CommandRun(Options& options, const std::string& file);

// `show [--dot]` (MachineShow.cpp): the teams beside what the driver holds; the exit code.
extern const char kShowHelp[];
int CommandShow(const std::vector<std::string>& arguments);

}  // namespace simtool
