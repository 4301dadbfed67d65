// tarvik-sim: makes a simulated machine and is its service control manager's host: starts the
// service the machine's service database registers, sends it controls, shows its status, and
// runs small scenarios. See README.md ("tarvik-sim").
#include <windows.h>

#include "Machine/Machine.h"
#include "Machine/MachineBuilder.h"
#include "Machine/RegFile.h"
#include "Machine/ServiceHost.h"
#include "Machine/Services.h"
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
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "usage: tarvik-sim [-m MACHINE] [-s SERVICE] COMMAND [ARGS]\n"
    "  new DIR [--template NAME|DIR]  make a machine from a template in examples/ (default basic)\n"
    "  start [--timeout S]            start the service as the service control manager would\n"
    "  stop [--timeout S]             send it the stop control and wait for it to stop\n"
    "  shutdown [--timeout S]         send it the pre-shutdown control (shutdown if it takes\n"
    "                                 no pre-shutdown) and wait for it to stop\n"
    "  control CODE                   send any control code (4: interrogate)\n"
    "  status                         show its status\n"
    "  run SCENARIO                   run a scenario file\n"
    "Hyper-V host (see README.md, \"The Hyper-V host\"):\n"
    "%s"
    "MACHINE defaults to $TARVIK_MACHINE; SERVICE to the one service of the database whose\n"
    "executable exists on the machine. `tarvik-sim COMMAND --help` explains a command.\n"
    "Exit codes: 0 success, 1 the command failed, 2 usage error, 3 the machine's files are\n"
    "malformed (the message names the file and the line).\n";

const char* HelpOf(const std::string& command) {
    if (command == "new") {
        return "tarvik-sim new DIR [--template NAME|DIR]\n"
               "Copies a machine template (a directory of examples/, or any machine directory)\n"
               "to DIR, which must not exist, and builds it: the adapters and teams its\n"
               "machine.json declares are written into its registry.\n";
    }
    if (command == "start") {
        return "tarvik-sim [-m MACHINE] [-s SERVICE] start [--timeout S]\n"
               "Starts the executable the service's ImagePath names (mapped into the machine's\n"
               "drives) as a child process on the machine and hosts it in the background until\n"
               "that process ends. Waits up to S seconds (default 30) for the service to leave\n"
               "the start-pending state, then prints its status. Exit code 0 when it runs.\n";
    }
    if (command == "stop" || command == "shutdown") {
        return "tarvik-sim [-m MACHINE] [-s SERVICE] stop|shutdown [--timeout S]\n"
               "Sends the stop control (stop) or the pre-shutdown control (shutdown; the shutdown\n"
               "control to a service that takes no pre-shutdown), prints the status the handler\n"
               "left, and waits up to S seconds (default 30) for the service to stop.\n"
               "Exit code 0 when it stopped.\n";
    }
    if (command == "control") {
        return "tarvik-sim [-m MACHINE] [-s SERVICE] control CODE\n"
               "Sends any control code (1 stop, 4 interrogate, 15 pre-shutdown, 128-255 the\n"
               "service's own) and prints the result and the status after the handler returned.\n";
    }
    if (command == "status") {
        return "tarvik-sim [-m MACHINE] [-s SERVICE] status\n"
               "Prints the service's configuration and status.\n";
    }
    if (const char* help = topology::HelpOf(command)) {
        return help;
    }
    if (command == "run") {
        return "tarvik-sim [-m MACHINE] [-s SERVICE] run SCENARIO\n"
               "Runs a scenario: one command a line, '#' starts a comment, words may be quoted.\n"
               "  start | stop | shutdown | control CODE   as the commands above; a failure ends\n"
               "                                          the scenario unless the line begins\n"
               "                                          with `try` (see `expect error`)\n"
               "  wait STATE [SECONDS]                    until the service is in STATE (RUNNING,\n"
               "                                          STOPPED, STOP_PENDING, ...; default 30 "
               "s)\n"
               "  sleep MS                                real milliseconds\n"
               "  set-registry KEY NAME dword:N|sz:TEXT   KEY like HKLM\\SOFTWARE\\X (made if "
               "missing)\n"
               "  delete-registry KEY NAME                delete a value\n"
               "  exec PROGRAM [ARGS...]                  run a host program on the machine (no\n"
               "                                          shell; TARVIK_MACHINE set); fails unless\n"
               "                                          it exits with 0\n"
               "  expect state STATE\n"
               "  expect error N                          the error of the last `try` line\n"
               "  expect registry KEY NAME dword:N|sz:TEXT|absent\n"
               "  add-vm, remove-vm, connect, ...         the Hyper-V commands, same words\n"
               "Each line is echoed; the first failure stops the run with exit code 1.\n";
    }
    return nullptr;
}

struct Options {
    std::string machine;
    std::u16string service;
    double timeout = 30;
};

enum ExitCode { kSucceeded = 0, kFailed = 1, kUsageError = 2 };  // 3: Machine::Stop

int Fail(const std::string& message, int code = kFailed) {
    std::cerr << "tarvik-sim: " << message << "\n";
    return code;
}

// A numeric argument: what the usage calls it, what it may be.
struct NumberKind {
    const char* argument;
    const char* expected;  // in words, for the error
    double low, high;
    bool integer;  // an integer may also be written 0x and hexadecimal digits
};

const NumberKind kControlCode{"control CODE", "a control code from 0 to 4294967295", 0,
                              4294967295.0, true};
const NumberKind kTimeout{"--timeout", "seconds from 0 to 86400", 0, 86400, false};
const NumberKind kWaitSeconds{"wait SECONDS", "seconds from 0 to 86400", 0, 86400, false};
const NumberKind kSleep{"sleep MS", "milliseconds from 0 to 86400000", 0, 86400000, true};
const NumberKind kErrorCode{"expect error N", "a Win32 error code from 0 to 4294967295", 0,
                            4294967295.0, true};
const NumberKind kDword{"dword:N", "a number from 0 to 4294967295", 0, 4294967295.0, true};
const NumberKind kHostAnswer{"the host's answer", "a Win32 error code", 0, 4294967295.0, true};

// The whole of `text` as a number of that kind; else nothing, and `*error` names the argument,
// what it may be and what it was. No sign, blank, trailing text or infinity gets through.
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

// Forks the host into the background; the error of the start.
DWORD Start(const Options& options) {
    int ready[2];
    if (pipe(ready) != 0) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        setsid();
        int null = open("/dev/null", O_RDWR);
        std::string log = options.machine + "/scm-host.log";
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(null, 0);
        dup2(out >= 0 ? out : null, 1);
        dup2(out >= 0 ? out : null, 2);
        DWORD error = sim::RunServiceHost(options.service, ready[1]);
        std::fflush(nullptr);
        _exit(error == ERROR_SUCCESS ? 0 : 1);
    }
    close(ready[1]);
    if (pid < 0) {
        close(ready[0]);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::string line;
    char c;
    while (read(ready[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(ready[0]);
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

// "HKLM\X\Y" into its root and the rest.
bool SplitKey(const std::string& text, HKEY* root, std::u16string* subKey) {
    std::u16string key = sim::Utf8ToUtf16(text);
    size_t slash = key.find(u'\\');
    std::u16string rootName = sim::RegRootName(key.substr(0, slash));
    *subKey = slash == std::u16string::npos ? u"" : key.substr(slash + 1);
    const std::pair<const char16_t*, HKEY> roots[] = {
        {u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {u"HKEY_USERS", HKEY_USERS},
        {u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {u"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG}};
    for (const auto& root_ : roots) {
        if (rootName == root_.first) {
            *root = root_.second;
            return true;
        }
    }
    return false;
}

// "dword:N" or "sz:TEXT" into registry data; "" when it is one of them, else why not.
std::string ParseData(const std::string& text, DWORD* type, std::vector<BYTE>* data) {
    if (text.compare(0, 6, "dword:") == 0) {
        std::string error;
        std::optional<double> number = ParseNumber(text.substr(6), kDword, &error);
        DWORD value = static_cast<DWORD>(number.value_or(0));
        *type = REG_DWORD;
        data->resize(4);
        std::memcpy(data->data(), &value, 4);
        return error;
    }
    if (text.compare(0, 3, "sz:") == 0) {
        std::u16string value = sim::Utf8ToUtf16(text.substr(3));
        *type = REG_SZ;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(value.c_str());
        data->assign(bytes, bytes + (value.size() + 1) * 2);
        return "";
    }
    return "expected dword:N or sz:TEXT, found \"" + text + "\"";
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any) {
                words.push_back(word);
            }
            word.clear();
            any = false;
        } else if (c == '#' && !quoted && !any) {
            break;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) {
        words.push_back(word);
    }
    return words;
}

// A scenario line being run.
struct Line {
    Options& options;
    const std::vector<std::string>& w;  // its words, without `try`
    const DWORD lastError;              // of the scenario's last action before it
    DWORD error = ERROR_SUCCESS;        // an action's Win32 error
    std::string failure;                // an action's failure in words; else the error's number
};

std::string StartVerb(Line& line) {
    line.error = Start(line.options);
    return "";
}

std::string StopVerb(Line& line) {
    sim::ServiceStatus status;
    line.error = sim::services::Control(
        line.options.service,
        line.w[0] == "stop" ? SERVICE_CONTROL_STOP : ShutdownControl(line.options), &status);
    return "";
}

std::string ControlVerb(Line& line) {
    std::string error;
    std::optional<double> code = ParseNumber(line.w[1], kControlCode, &error);
    if (code) {
        sim::ServiceStatus status;
        line.error =
            sim::services::Control(line.options.service, static_cast<DWORD>(*code), &status);
    }
    return error;
}

std::string WaitVerb(Line& line) {
    DWORD state = StateByName(line.w[1]);
    if (state == 0) {
        return "no state " + line.w[1];
    }
    std::string error;
    std::optional<double> seconds =
        line.w.size() == 3 ? ParseNumber(line.w[2], kWaitSeconds, &error) : 30;
    if (!seconds) {
        return error;
    }
    if (!WaitForState(line.options.service, state, *seconds)) {
        return std::string("still ") +
               sim::StateName(sim::services::Query(line.options.service).state);
    }
    return "";
}

std::string SleepVerb(Line& line) {
    std::string error;
    std::optional<double> ms = ParseNumber(line.w[1], kSleep, &error);
    if (ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long long>(*ms)));
    }
    return error;
}

std::string SetRegistryVerb(Line& line) {
    HKEY root, key;
    std::u16string subKey;
    DWORD type;
    std::vector<BYTE> data;
    if (!SplitKey(line.w[1], &root, &subKey)) {
        return "no registry root in " + line.w[1];
    }
    std::string error = ParseData(line.w[3], &type, &data);
    if (!error.empty()) {
        return error;
    }
    line.error = static_cast<DWORD>(
        RegCreateKeyExW(root, subKey.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL));
    if (line.error == ERROR_SUCCESS) {
        line.error =
            static_cast<DWORD>(RegSetValueExW(key, sim::Utf8ToUtf16(line.w[2]).c_str(), 0, type,
                                              data.data(), static_cast<DWORD>(data.size())));
        RegCloseKey(key);
    }
    return "";
}

std::string DeleteRegistryVerb(Line& line) {
    HKEY root, key;
    std::u16string subKey;
    if (!SplitKey(line.w[1], &root, &subKey)) {
        return "no registry root in " + line.w[1];
    }
    line.error = static_cast<DWORD>(RegOpenKeyExW(root, subKey.c_str(), 0, KEY_SET_VALUE, &key));
    if (line.error == ERROR_SUCCESS) {
        line.error = static_cast<DWORD>(RegDeleteValueW(key, sim::Utf8ToUtf16(line.w[2]).c_str()));
        RegCloseKey(key);
    }
    return "";
}

// Runs the words as a program and its arguments, without a shell (a word may hold blanks and
// quotes), on the machine: TARVIK_MACHINE names it.
std::string ExecVerb(Line& line) {
    std::vector<std::string> environment{std::string(sim::Machine::kEnvironmentVariable) + "=" +
                                         line.options.machine};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, environment[0].c_str(), environment[0].find('=') + 1) != 0) {
            environment.push_back(*e);
        }
    }
    std::vector<char*> argv, envp;
    for (size_t i = 1; i < line.w.size(); ++i) {
        argv.push_back(const_cast<char*>(line.w[i].c_str()));
    }
    argv.push_back(nullptr);
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    // The child writes its errno here when the exec fails; the exec closes it otherwise.
    int failed[2];
    if (pipe2(failed, O_CLOEXEC) != 0) {
        return std::string("cannot start ") + argv[0] + ": " + std::strerror(errno);
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execvpe(argv[0], argv.data(), envp.data());
        int error = errno;
        ssize_t written = write(failed[1], &error, sizeof(error));
        (void)written;
        _exit(127);
    }
    close(failed[1]);
    int execError = 0;
    bool execFailed = pid > 0 && read(failed[0], &execError, sizeof(execError)) > 0;
    close(failed[0]);
    if (pid < 0) {
        return std::string("cannot start ") + argv[0] + ": " + std::strerror(errno);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!execFailed && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    line.error = ERROR_INVALID_FUNCTION;
    line.failure =
        line.w[1] + (execFailed          ? std::string(": ") + std::strerror(execError)
                     : WIFEXITED(status) ? " exited with " + std::to_string(WEXITSTATUS(status))
                                         : " ended by signal " + std::to_string(WTERMSIG(status)));
    return "";
}

std::string ExpectStateVerb(Line& line) {
    DWORD state = sim::services::Query(line.options.service).state;
    return state == StateByName(line.w[2]) ? "" : std::string("state is ") + sim::StateName(state);
}

std::string ExpectErrorVerb(Line& line) {
    std::string error;
    std::optional<double> expected = ParseNumber(line.w[2], kErrorCode, &error);
    if (!expected) {
        return error;
    }
    return line.lastError == *expected ? "" : "error was " + std::to_string(line.lastError);
}

std::string ExpectRegistryVerb(Line& line) {
    const std::vector<std::string>& w = line.w;
    HKEY root, key;
    std::u16string subKey;
    DWORD type = 0, expectedType = 0;
    std::vector<BYTE> expected, data(4096);
    if (!SplitKey(w[2], &root, &subKey)) {
        return "no registry root in " + w[2];
    }
    if (w[4] != "absent") {
        std::string error = ParseData(w[4], &expectedType, &expected);
        if (!error.empty()) {
            return error + " or absent";
        }
    }
    DWORD size = static_cast<DWORD>(data.size());
    LONG found = RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (found == ERROR_SUCCESS) {
        found =
            RegQueryValueExW(key, sim::Utf8ToUtf16(w[3]).c_str(), NULL, &type, data.data(), &size);
        RegCloseKey(key);
    }
    if (w[4] == "absent") {
        return found == ERROR_SUCCESS ? "the value exists" : "";
    }
    data.resize(found == ERROR_SUCCESS ? size : 0);
    return found == ERROR_SUCCESS && type == expectedType && data == expected
               ? ""
               : "the value is " + (found == ERROR_SUCCESS ? std::string("different") : "missing");
}

// A scenario verb. An action's Win32 error is what `try` tolerates and `expect error` checks.
struct Verb {
    const char* verb;
    const char* object;         // the second word that selects it (expect state, ...); or null
    size_t minWords, maxWords;  // with the verb
    const char* usage;
    bool action;
    std::string (*run)(Line& line);
};

const Verb kVerbs[] = {
    {"start", nullptr, 1, 1, "start", true, StartVerb},
    {"stop", nullptr, 1, 1, "stop", true, StopVerb},
    {"shutdown", nullptr, 1, 1, "shutdown", true, StopVerb},
    {"control", nullptr, 2, 2, "control CODE", true, ControlVerb},
    {"wait", nullptr, 2, 3, "wait STATE [SECONDS]", false, WaitVerb},
    {"sleep", nullptr, 2, 2, "sleep MS", false, SleepVerb},
    {"set-registry", nullptr, 4, 4, "set-registry KEY NAME dword:N|sz:TEXT", true, SetRegistryVerb},
    {"delete-registry", nullptr, 3, 3, "delete-registry KEY NAME", true, DeleteRegistryVerb},
    {"exec", nullptr, 2, SIZE_MAX, "exec PROGRAM [ARGS...]", true, ExecVerb},
    {"expect", "state", 3, 3, "expect state STATE", false, ExpectStateVerb},
    {"expect", "error", 3, 3, "expect error N", false, ExpectErrorVerb},
    {"expect", "registry", 5, 5, "expect registry KEY NAME dword:N|sz:TEXT|absent", false,
     ExpectRegistryVerb},
};

// One scenario line; an empty result when it passed, else why not.
std::string RunLine(Options& options, std::vector<std::string> w, DWORD* lastError) {
    bool tolerate = !w.empty() && w[0] == "try";
    if (tolerate) {
        w.erase(w.begin());
    }
    if (w.empty()) {
        return "nothing to try";
    }
    const Verb* verb = nullptr;
    bool known = false;
    for (const Verb& candidate : kVerbs) {
        known = known || w[0] == candidate.verb;
        if (w[0] == candidate.verb &&
            (candidate.object == nullptr || (w.size() > 1 && w[1] == candidate.object))) {
            verb = &candidate;
            break;
        }
    }
    if (verb == nullptr && topology::HelpOf(w[0]) != nullptr) {
        bool usage = false;
        return topology::Run(w, &usage);
    }
    if (verb == nullptr) {
        return "unknown command \"" + w[0] + (known && w.size() > 1 ? " " + w[1] : "") +
               "\" (tarvik-sim run --help)";
    }
    if (w.size() < verb->minWords || w.size() > verb->maxWords) {
        return std::string("expected \"") + verb->usage + "\"";
    }
    Line line{options, w, *lastError, ERROR_SUCCESS, ""};
    std::string failure = verb->run(line);
    if (!failure.empty() || !verb->action) {
        return failure;
    }
    *lastError = line.error;
    if (line.error != ERROR_SUCCESS && !tolerate) {
        return line.failure.empty() ? ErrorText(line.error) : line.failure;
    }
    return "";
}

int CommandRun(Options& options, const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        return Fail("cannot read " + file);
    }
    std::string line;
    DWORD lastError = ERROR_SUCCESS;
    for (int number = 1; std::getline(in, line); ++number) {
        std::vector<std::string> words = Words(line);
        if (words.empty()) {
            continue;
        }
        std::printf("%s:%d: %s\n", file.c_str(), number, line.c_str());
        std::fflush(stdout);
        std::string failure = RunLine(options, words, &lastError);
        if (!failure.empty()) {
            return Fail(file + ":" + std::to_string(number) + ": " + failure);
        }
    }
    std::printf("%s: passed\n", file.c_str());
    return 0;
}

// The first line of a command's help: how to call it.
std::string Synopsis(const std::string& command) {
    std::string help = HelpOf(command);
    return help.substr(0, help.find('\n'));
}

}  // namespace

int main(int argc, char** argv) {
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
            std::fprintf(stdout, kUsage, topology::Usage());
            return kSucceeded;
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        std::fprintf(stderr, kUsage, topology::Usage());
        return kUsageError;
    }
    std::string command = args[i];
    if (HelpOf(command) == nullptr) {
        std::fprintf(stderr, "tarvik-sim: unknown command \"%s\"\n", command.c_str());
        std::fprintf(stderr, kUsage, topology::Usage());
        return kUsageError;
    }
    std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    for (size_t k = 0; k < rest.size(); ++k) {
        if (rest[k] == "--help" || rest[k] == "-h") {
            std::fputs(HelpOf(command), stdout);
            return kSucceeded;
        }
        if (rest[k] == "--timeout") {
            std::string error;
            std::optional<double> timeout =
                ParseNumber(k + 1 < rest.size() ? rest[k + 1] : "", kTimeout, &error);
            if (!timeout) {
                return Fail(error, kUsageError);
            }
            options.timeout = *timeout;
            rest.erase(rest.begin() + static_cast<long>(k),
                       rest.begin() + static_cast<long>(k) + 2);
            --k;
        }
    }
    if (command == "new") {
        std::string templateName = "basic";
        if (rest.size() == 3 && rest[1] == "--template") {
            templateName = rest[2];
        } else if (rest.size() != 1) {
            return Fail("usage: " + Synopsis(command), kUsageError);
        }
        return CommandNew(rest[0], templateName);
    }
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
    if (topology::HelpOf(command) != nullptr) {
        std::vector<std::string> words = rest;
        words.insert(words.begin(), command);
        bool usage = false;
        std::string failure = topology::Run(words, &usage);
        return failure.empty() ? kSucceeded : Fail(failure, usage ? kUsageError : kFailed);
    }
    if (ServiceOf(options) != ERROR_SUCCESS) {
        return Fail(
            "name the service with -s: the database has no single service whose "
            "executable exists on the machine");
    }
    if (command == "start" && rest.empty()) {
        return CommandStart(options);
    }
    if ((command == "stop" || command == "shutdown") && rest.empty()) {
        return CommandControl(
            options, command == "stop" ? SERVICE_CONTROL_STOP : ShutdownControl(options), true);
    }
    if (command == "control" && rest.size() == 1) {
        std::string error;
        std::optional<double> code = ParseNumber(rest[0], kControlCode, &error);
        return code ? CommandControl(options, static_cast<DWORD>(*code), false)
                    : Fail(error, kUsageError);
    }
    if (command == "status" && rest.empty()) {
        return CommandStatus(options);
    }
    if (command == "run" && rest.size() == 1) {
        return CommandRun(options, rest[0]);
    }
    return Fail("usage: " + Synopsis(command), kUsageError);
}
