// tarvik-sim: makes a simulated machine and is its service control manager's host: starts the
// service the machine's service database registers, sends it controls, shows its status, and
// runs small scenarios. See docs/machine.md ("tarvik-sim").
#include <windows.h>

#include "Machine/Machine.h"
#include "Machine/Settings/MachineBuilder.h"
#include "Machine/Registry/RegFile.h"
#include "Machine/Services/ServiceHost.h"
#include "Machine/Services/Services.h"
#include "Machine/Files/UniqueFd.h"
#include "SimTool.h"
#include "TopologyCommands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace simtool {

namespace fs = std::filesystem;

const NumberKind kControlCode{"control CODE", "a control code from 0 to 4294967295", 0,
                              4294967295.0, true};
const NumberKind kTimeout{"--timeout", "seconds from 0 to 86400", 0, 86400, false};
const NumberKind kWaitSeconds{"wait SECONDS", "seconds from 0 to 86400", 0, 86400, false};
const NumberKind kSleep{"sleep MS", "milliseconds from 0 to 86400000", 0, 86400000, true};
const NumberKind kErrorCode{"expect error N", "a Win32 error code from 0 to 4294967295", 0,
                            4294967295.0, true};
const NumberKind kDword{"dword:N", "a number from 0 to 4294967295", 0, 4294967295.0, true};
const NumberKind kHostAnswer{"the host's answer", "a Win32 error code", 0, 4294967295.0, true};

int Fail(const std::string& message, int code) {
    std::cerr << "tarvik-sim: " << message << "\n";
    return code;
}

const char kNewHelp[] =
    "tarvik-sim new DIR [--template NAME|DIR]\n"
    "Copies a machine template (a directory of examples/, or any machine directory)\n"
    "to DIR, which must not exist, and builds it: the adapters and teams its\n"
    "machine.json declares are written into its registry.\n";
const char kStartHelp[] =
    "tarvik-sim [-m MACHINE] [-s SERVICE] start [--timeout S]\n"
    "Starts the executable the service's ImagePath names (mapped into the machine's\n"
    "drives) as a child process on the machine and hosts it in the background until\n"
    "that process ends. Waits up to S seconds (default 30) for the service to leave\n"
    "the start-pending state, then prints its status. Exit code 0 when it runs.\n";
const char kStopHelp[] =
    "tarvik-sim [-m MACHINE] [-s SERVICE] stop [--timeout S]\n"
    "Sends the stop control, prints the status the handler left, and waits up to S\n"
    "seconds (default 30) for the service to stop. Exit code 0 when it stopped.\n";
const char kShutdownHelp[] =
    "tarvik-sim [-m MACHINE] [-s SERVICE] shutdown [--timeout S]\n"
    "Sends the pre-shutdown control (the shutdown control to a service that takes no\n"
    "pre-shutdown), prints the status the handler left, and waits up to S seconds\n"
    "(default 30) for the service to stop. Exit code 0 when it stopped.\n";
const char kControlHelp[] =
    "tarvik-sim [-m MACHINE] [-s SERVICE] control CODE\n"
    "Sends any control code (1 stop, 4 interrogate, 15 pre-shutdown, 128-255 the\n"
    "service's own) and prints the result and the status after the handler returned.\n";
const char kStatusHelp[] =
    "tarvik-sim [-m MACHINE] [-s SERVICE] status\n"
    "Prints the service's configuration and status.\n";
const char kRunHelp[] =
    "tarvik-sim [-m MACHINE] [-s SERVICE] run SCENARIO\n"
    "Runs a scenario: one command a line, '#' starts a comment, words may be quoted.\n"
    "  start | stop | shutdown | control CODE   as the commands above; a failure ends\n"
    "                                          the scenario unless the line begins\n"
    "                                          with `try` (see `expect error`)\n"
    "  wait STATE [SECONDS]                    until the service is in STATE (RUNNING,\n"
    "                                          STOPPED, STOP_PENDING, ...; default 30 "
    "s)\n"
    "  sleep MS                                real milliseconds\n"
    "  set-registry KEY NAME dword:N|sz:TEXT [VIEW]\n"
    "                                          KEY like HKLM\\SOFTWARE\\X (made if "
    "missing)\n"
    "  delete-registry KEY NAME [VIEW]         delete a value\n"
    "  exec PROGRAM [ARGS...]                  run a host program on the machine (no\n"
    "                                          shell; TARVIK_MACHINE set); fails unless\n"
    "                                          it exits with 0\n"
    "  expect state STATE\n"
    "  expect error N                          the error of the last `try` line\n"
    "  expect registry KEY NAME dword:N|sz:TEXT|absent [VIEW]\n"
    "  VIEW, as reg.exe's: /reg:64 (the default, as regedit on a 64-bit host) or\n"
    "  /reg:32, the view of 32-bit programs such as the service (WOW6432Node)\n"
    "  add-vm, remove-vm, connect, ...         the Hyper-V commands, same words\n"
    "Each line is echoed; the first failure stops the run with exit code 1.\n";

std::optional<double> ParseNumber(const std::string& text, const NumberKind& kind,
                                  std::string* error) {
    bool digits = !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) ||
                                    (!kind.integer && text[0] == '.'));
    char* end = nullptr;
    double value = -1;
    errno = 0;
    if (digits && kind.integer) {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        value = static_cast<double>(std::strtoull(text.c_str(), &end, hex ? 16 : 10));
    } else if (digits) {
        value = std::strtod(text.c_str(), &end);
    }
    if (!digits || errno == ERANGE || *end != '\0' || !(value >= kind.low && value <= kind.high)) {
        *error =
            std::string(kind.argument) + ": expected " + kind.expected + ", found \"" + text + "\"";
        return std::nullopt;
    }
    return value;
}

std::string ErrorText(DWORD error) {
    return "error " + std::to_string(error);
}

DWORD ServiceOf(Options& options) {
    if (!options.service.empty()) {
        return ERROR_SUCCESS;
    }
    std::vector<std::u16string> found;
    for (const sim::ServiceConfig& config : sim::services::All()) {
        std::string host, args;
        if (sim::FindImage(config.imagePath, &host, &args) == ERROR_SUCCESS) {
            found.push_back(config.name);
        }
    }
    if (found.size() != 1) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    options.service = found[0];
    return ERROR_SUCCESS;
}

void PrintStatus(const std::u16string& name, const sim::ServiceStatus& s) {
    std::printf("SERVICE_NAME: %s\n", sim::Utf16ToUtf8(name).c_str());
    std::printf("        STATE              : %lu  %s\n", static_cast<unsigned long>(s.state),
                sim::StateName(s.state));
    std::printf("        CONTROLS_ACCEPTED  : 0x%lx\n",
                static_cast<unsigned long>(s.controlsAccepted));
    std::printf("        WIN32_EXIT_CODE    : %lu\n", static_cast<unsigned long>(s.exitCode));
    std::printf("        SERVICE_EXIT_CODE  : %lu\n",
                static_cast<unsigned long>(s.specificExitCode));
    std::printf("        CHECKPOINT         : %lu\n", static_cast<unsigned long>(s.checkPoint));
    std::printf("        WAIT_HINT          : %lu\n", static_cast<unsigned long>(s.waitHint));
    std::printf("        PID                : %lu\n", static_cast<unsigned long>(s.processId));
    std::fflush(stdout);
}

DWORD StateByName(const std::string& name) {
    for (DWORD state = SERVICE_STOPPED; state <= SERVICE_PAUSED; ++state) {
        if (name == sim::StateName(state)) {
            return state;
        }
    }
    return 0;
}

bool WaitForState(const std::u16string& name, DWORD state, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (sim::services::Query(name).state != state) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Points the host's standard streams at its log (or nowhere).
void RedirectStandardStreams(const std::string& log) {
    sim::UniqueFd null(open("/dev/null", O_RDWR));
    sim::UniqueFd out(open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
    int to = out ? out.Get() : null.Get();
    dup2(null.Get(), 0);
    dup2(to, 1);
    dup2(to, 2);
}

DWORD Start(const Options& options) {
    sim::UniqueFd ready, readyWrite;
    if (!sim::OpenPipe(&ready, &readyWrite)) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        ready.Reset();
        setsid();
        RedirectStandardStreams(options.machine + "/scm-host.log");
        DWORD error = sim::RunServiceHost(options.service, std::move(readyWrite));
        std::fflush(nullptr);
        _exit(error == ERROR_SUCCESS ? 0 : 1);
    }
    readyWrite.Reset();
    if (pid < 0) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::string line;
    char c;
    while (read(ready.Get(), &c, 1) == 1 && c != '\n') {
        line += c;
    }
    std::string ignored;
    std::optional<double> error = ParseNumber(line, kHostAnswer, &ignored);
    return error ? static_cast<DWORD>(*error) : ERROR_SERVICE_NO_THREAD;
}

int CommandStart(const Options& options) {
    DWORD error = Start(options);
    if (error != ERROR_SUCCESS) {
        return Fail("the service did not start: " + ErrorText(error));
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeout);
    sim::ServiceStatus status = sim::services::Query(options.service);
    while (status.state == SERVICE_START_PENDING && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        status = sim::services::Query(options.service);
    }
    PrintStatus(options.service, status);
    return status.state == SERVICE_RUNNING ? 0 : 1;
}

int CommandControl(const Options& options, DWORD code, bool waitStopped) {
    sim::ServiceStatus status;
    DWORD error = sim::services::Control(options.service, code, &status);
    PrintStatus(options.service, status);
    if (error != ERROR_SUCCESS) {
        return Fail("control " + std::to_string(code) + " failed: " + ErrorText(error));
    }
    if (waitStopped) {
        if (!WaitForState(options.service, SERVICE_STOPPED, options.timeout)) {
            return Fail("the service did not stop in time");
        }
        PrintStatus(options.service, sim::services::Query(options.service));
    }
    return 0;
}

DWORD ShutdownControl(const Options& options) {
    sim::ServiceStatus status = sim::services::Query(options.service);
    return (status.controlsAccepted & SERVICE_ACCEPT_PRESHUTDOWN) != 0 ||
                   (status.controlsAccepted & SERVICE_ACCEPT_SHUTDOWN) == 0
               ? SERVICE_CONTROL_PRESHUTDOWN
               : SERVICE_CONTROL_SHUTDOWN;
}

int CommandStatus(const Options& options) {
    sim::ServiceConfig config;
    DWORD error = sim::services::Find(options.service, &config);
    if (error != ERROR_SUCCESS) {
        return Fail(ErrorText(error));
    }
    PrintStatus(config.name, sim::services::Query(config.name));
    std::printf("        IMAGE_PATH         : %s\n", sim::Utf16ToUtf8(config.imagePath).c_str());
    std::printf("        START_TYPE         : %lu\n", static_cast<unsigned long>(config.start));
    std::printf("        MARKED_FOR_DELETE  : %s\n", config.markedForDelete ? "yes" : "no");
    return 0;
}

int CommandNew(const std::string& dir, const std::string& templateName) {
    std::error_code ignored;
    fs::path source = templateName;
    if (!fs::is_directory(source, ignored)) {
        source = fs::path(TARVIK_EXAMPLES_DIR) / templateName;
    }
    if (!fs::is_directory(source, ignored)) {
        return Fail("no template " + templateName);
    }
    if (fs::exists(dir, ignored)) {
        return Fail(dir + " exists already");
    }
    std::error_code copied;
    fs::copy(source, dir, fs::copy_options::recursive, copied);
    if (copied) {
        return Fail("cannot copy the template: " + copied.message());
    }
    for (const char* output : {"scm.jsonl", "clock", "volatile.reg", "registry.lock"}) {
        fs::remove(fs::path(dir) / output, ignored);
    }
    try {
        DWORD error = sim::BuildMachine(dir);
        if (error != ERROR_SUCCESS) {
            return Fail("cannot write the registry: " + ErrorText(error));
        }
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    std::printf("made machine %s from %s\n", dir.c_str(), source.string().c_str());
    return 0;
}

// The first line of a help: how to call the command.
std::string Synopsis(const char* help) {
    return std::string(help).substr(0, std::string(help).find('\n'));
}

int RunNew(Options&, const std::vector<std::string>& args) {
    if (args.size() == 3 && args[1] == "--template") {
        return CommandNew(args[0], args[2]);
    }
    return args.size() == 1 ? CommandNew(args[0], "basic")
                            : Fail("usage: " + Synopsis(kNewHelp), kUsageError);
}

int RunStart(Options& options, const std::vector<std::string>&) {
    return CommandStart(options);
}

int RunStop(Options& options, const std::vector<std::string>&) {
    return CommandControl(options, SERVICE_CONTROL_STOP, true);
}

int RunShutdown(Options& options, const std::vector<std::string>&) {
    return CommandControl(options, ShutdownControl(options), true);
}

int RunControl(Options& options, const std::vector<std::string>& args) {
    std::string error;
    std::optional<double> code = ParseNumber(args[0], kControlCode, &error);
    return code ? CommandControl(options, static_cast<DWORD>(*code), false)
                : Fail(error, kUsageError);
}

int RunStatus(Options& options, const std::vector<std::string>&) {
    return CommandStatus(options);
}

int RunScenario(Options& options, const std::vector<std::string>& args) {
    return CommandRun(options, args[0]);
}

int RunShow(Options&, const std::vector<std::string>& args) {
    return CommandShow(args);
}

// The commands: the usage text, each command's help and options, and the dispatch all come from
// here. The Hyper-V commands have a table of their own (TopologyCommands.h).
struct Command {
    const char* name;
    const char* usage;  // its lines in the usage text
    const char* help;   // its first line is the synopsis
    size_t minArgs, maxArgs;
    bool timeout;  // takes --timeout S
    enum class Needs { Nothing, Machine, Service } needs;
    int (*run)(Options& options, const std::vector<std::string>& args);
};

const Command kCommands[] = {
    {"new",
     "  new DIR [--template NAME|DIR]  make a machine from a template in examples/ (default basic)\n",
     kNewHelp, 1, 3, false, Command::Needs::Nothing, RunNew},
    {"start",
     "  start [--timeout S]            start the service as the service control manager would\n",
     kStartHelp, 0, 0, true, Command::Needs::Service, RunStart},
    {"stop", "  stop [--timeout S]             send it the stop control and wait for it to stop\n",
     kStopHelp, 0, 0, true, Command::Needs::Service, RunStop},
    {"shutdown",
     "  shutdown [--timeout S]         send it the pre-shutdown control (shutdown if it takes\n"
     "                                 no pre-shutdown) and wait for it to stop\n",
     kShutdownHelp, 0, 0, true, Command::Needs::Service, RunShutdown},
    {"control", "  control CODE                   send any control code (4: interrogate)\n",
     kControlHelp, 1, 1, false, Command::Needs::Service, RunControl},
    {"status", "  status                         show its status\n", kStatusHelp, 0, 0, false,
     Command::Needs::Service, RunStatus},
    {"run", "  run SCENARIO                   run a scenario file\n", kRunHelp, 1, 1, false,
     Command::Needs::Service, RunScenario},
    {"show",
     "  show [--dot]                   each team's VM interfaces beside the driver's list\n",
     kShowHelp, 0, 1, false, Command::Needs::Machine, RunShow},
};

void PrintUsage(FILE* to) {
    std::fputs("usage: tarvik-sim [-m MACHINE] [-s SERVICE] COMMAND [ARGS]\n", to);
    for (const Command& command : kCommands) {
        std::fputs(command.usage, to);
    }
    std::fprintf(to,
                 "Hyper-V host (see docs/machine.md, \"The Hyper-V host\"):\n"
                 "%s"
                 "MACHINE defaults to $TARVIK_MACHINE; SERVICE to the one service of the database "
                 "whose\n"
                 "executable exists on the machine. `tarvik-sim COMMAND --help` explains a "
                 "command.\n"
                 "Exit codes: 0 success, 1 the command failed, 2 usage error, 3 the machine's "
                 "files are\n"
                 "malformed (the message names the file and the line).\n",
                 topology::Usage());
}

const Command* Find(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

// Takes the command's own options out of `args`: --timeout for those that wait.
int TakeOptions(const Command& command, Options& options, std::vector<std::string>& args) {
    for (size_t k = 0; command.timeout && k < args.size(); ++k) {
        if (args[k] != "--timeout") {
            continue;
        }
        std::string error;
        std::optional<double> timeout =
            ParseNumber(k + 1 < args.size() ? args[k + 1] : "", kTimeout, &error);
        if (!timeout) {
            return Fail(error, kUsageError);
        }
        options.timeout = *timeout;
        args.erase(args.begin() + static_cast<long>(k), args.begin() + static_cast<long>(k) + 2);
        --k;
    }
    if (args.size() < command.minArgs || args.size() > command.maxArgs) {
        return Fail("usage: " + Synopsis(command.help), kUsageError);
    }
    return kSucceeded;
}

// The machine named by -m or $TARVIK_MACHINE, made this process's machine.
int UseMachine(Options& options) {
    if (options.machine.empty()) {
        const char* env = std::getenv(sim::Machine::kEnvironmentVariable);
        options.machine = env != nullptr ? env : "";
    }
    if (options.machine.empty()) {
        return Fail("no machine: give -m MACHINE or set TARVIK_MACHINE", kUsageError);
    }
    std::error_code error;
    if (!fs::is_directory(options.machine, error)) {
        return Fail(options.machine + ": no such machine directory");
    }
    options.machine = fs::absolute(options.machine, error).lexically_normal().string();
    sim::Machine::Use(options.machine);
    return kSucceeded;
}

}  // namespace simtool

int main(int argc, char** argv) {
    using namespace simtool;
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if ((args[i] == "-m" || args[i] == "-s") && i + 1 < args.size()) {
            if (args[i] == "-m") {
                options.machine = args[++i];
            } else {
                options.service = sim::Utf8ToUtf16(args[++i]);
            }
        } else if (args[i] == "--help" || args[i] == "-h") {
            PrintUsage(stdout);
            return kSucceeded;
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        PrintUsage(stderr);
        return kUsageError;
    }
    const std::string name = args[i];
    const Command* command = Find(name);
    const char* help = command != nullptr ? command->help : topology::HelpOf(name);
    if (help == nullptr) {
        std::fprintf(stderr, "tarvik-sim: unknown command \"%s\"\n", name.c_str());
        PrintUsage(stderr);
        return kUsageError;
    }
    std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    for (const std::string& arg : rest) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(help, stdout);
            return kSucceeded;
        }
    }
    if (command == nullptr) {
        int code = UseMachine(options);
        if (code != kSucceeded) {
            return code;
        }
        rest.insert(rest.begin(), name);
        bool usage = false;
        std::string failure = topology::Run(rest, &usage);
        return failure.empty() ? kSucceeded : Fail(failure, usage ? kUsageError : kFailed);
    }
    int code = TakeOptions(*command, options, rest);
    if (code == kSucceeded && command->needs != Command::Needs::Nothing) {
        code = UseMachine(options);
    }
    if (code == kSucceeded && command->needs == Command::Needs::Service &&
        ServiceOf(options) != ERROR_SUCCESS) {
        code = Fail(
            "name the service with -s: the database has no single service whose "
            "executable exists on the machine");
    }
    return code == kSucceeded ? command->run(options, rest) : code;
}
