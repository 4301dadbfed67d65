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
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
    "executable exists on the machine. `tarvik-sim COMMAND --help` explains a command.\n";

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
               "  exec PROGRAM [ARGS...]                  run a host program on the machine\n"
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

int Fail(const std::string& message) {
    std::cerr << "tarvik-sim: " << message << "\n";
    return 1;
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
    for (DWORD state = 1; state <= 7; ++state) {
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
    return line.empty() ? ERROR_SERVICE_NO_THREAD : static_cast<DWORD>(std::stoul(line));
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
    fs::path source = templateName;
    if (!fs::is_directory(source)) {
        source = fs::path(TARVIK_EXAMPLES_DIR) / templateName;
    }
    if (!fs::is_directory(source)) {
        return Fail("no template " + templateName);
    }
    if (fs::exists(dir)) {
        return Fail(dir + " exists already");
    }
    std::error_code copied;
    fs::copy(source, dir, fs::copy_options::recursive, copied);
    if (copied) {
        return Fail("cannot copy the template: " + copied.message());
    }
    for (const char* output : {"scm.jsonl", "clock", "volatile.reg", "registry.lock"}) {
        fs::remove(fs::path(dir) / output);
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

// "dword:N" or "sz:TEXT" into registry data; false for anything else.
bool ParseData(const std::string& text, DWORD* type, std::vector<BYTE>* data) {
    if (text.compare(0, 6, "dword:") == 0) {
        DWORD value = static_cast<DWORD>(std::stoul(text.substr(6), nullptr, 0));
        *type = REG_DWORD;
        data->resize(4);
        std::memcpy(data->data(), &value, 4);
        return true;
    }
    if (text.compare(0, 3, "sz:") == 0) {
        std::u16string value = sim::Utf8ToUtf16(text.substr(3));
        *type = REG_SZ;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(value.c_str());
        data->assign(bytes, bytes + (value.size() + 1) * 2);
        return true;
    }
    return false;
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

// One scenario line; an empty result when it passed, else why not.
std::string RunLine(Options& options, std::vector<std::string> w, DWORD* lastError) {
    bool tolerate = !w.empty() && w[0] == "try";
    if (tolerate) {
        w.erase(w.begin());
    }
    if (w.empty()) {
        return "nothing to try";
    }
    const std::string& verb = w[0];
    DWORD error = ERROR_SUCCESS;
    if (verb == "start" && w.size() == 1) {
        error = Start(options);
    } else if ((verb == "stop" || verb == "shutdown") && w.size() == 1) {
        sim::ServiceStatus status;
        error = sim::services::Control(
            options.service, verb == "stop" ? SERVICE_CONTROL_STOP : ShutdownControl(options),
            &status);
    } else if (verb == "control" && w.size() == 2) {
        sim::ServiceStatus status;
        error = sim::services::Control(options.service, std::stoul(w[1], nullptr, 0), &status);
    } else if (verb == "wait" && (w.size() == 2 || w.size() == 3)) {
        DWORD state = StateByName(w[1]);
        if (state == 0) {
            return "no state " + w[1];
        }
        if (!WaitForState(options.service, state, w.size() == 3 ? std::stod(w[2]) : 30)) {
            return std::string("still ") +
                   sim::StateName(sim::services::Query(options.service).state);
        }
        return "";
    } else if (verb == "sleep" && w.size() == 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(w[1])));
        return "";
    } else if (verb == "set-registry" && w.size() == 4) {
        HKEY root, key;
        std::u16string subKey;
        DWORD type;
        std::vector<BYTE> data;
        if (!SplitKey(w[1], &root, &subKey) || !ParseData(w[3], &type, &data)) {
            return "expected set-registry KEY NAME dword:N|sz:TEXT";
        }
        error = static_cast<DWORD>(
            RegCreateKeyExW(root, subKey.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL));
        if (error == ERROR_SUCCESS) {
            error =
                static_cast<DWORD>(RegSetValueExW(key, sim::Utf8ToUtf16(w[2]).c_str(), 0, type,
                                                  data.data(), static_cast<DWORD>(data.size())));
            RegCloseKey(key);
        }
    } else if (verb == "delete-registry" && w.size() == 3) {
        HKEY root, key;
        std::u16string subKey;
        if (!SplitKey(w[1], &root, &subKey)) {
            return "expected delete-registry KEY NAME";
        }
        error = static_cast<DWORD>(RegOpenKeyExW(root, subKey.c_str(), 0, KEY_SET_VALUE, &key));
        if (error == ERROR_SUCCESS) {
            error = static_cast<DWORD>(RegDeleteValueW(key, sim::Utf8ToUtf16(w[2]).c_str()));
            RegCloseKey(key);
        }
    } else if (verb == "exec" && w.size() >= 2) {
        std::string command;
        for (size_t i = 1; i < w.size(); ++i) {
            command += "'" + w[i] + "' ";
        }
        setenv(sim::Machine::kEnvironmentVariable, options.machine.c_str(), 1);
        int status = std::system(command.c_str());
        error = status == 0 ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
    } else if (topology::HelpOf(verb) != nullptr) {
        bool usage = false;
        std::string failure = topology::Run(w, &usage);
        if (!failure.empty()) {
            return failure;
        }
        return "";
    } else if (verb == "expect" && w.size() == 3 && w[1] == "state") {
        DWORD state = sim::services::Query(options.service).state;
        return state == StateByName(w[2]) ? "" : std::string("state is ") + sim::StateName(state);
    } else if (verb == "expect" && w.size() == 3 && w[1] == "error") {
        return *lastError == std::stoul(w[2]) ? "" : "error was " + std::to_string(*lastError);
    } else if (verb == "expect" && w.size() == 5 && w[1] == "registry") {
        HKEY root, key;
        std::u16string subKey;
        DWORD type = 0, expectedType = 0;
        std::vector<BYTE> expected, data(4096);
        if (!SplitKey(w[2], &root, &subKey) ||
            (w[4] != "absent" && !ParseData(w[4], &expectedType, &expected))) {
            return "expected expect registry KEY NAME dword:N|sz:TEXT|absent";
        }
        DWORD size = static_cast<DWORD>(data.size());
        LONG found = RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE, &key);
        if (found == ERROR_SUCCESS) {
            found = RegQueryValueExW(key, sim::Utf8ToUtf16(w[3]).c_str(), NULL, &type, data.data(),
                                     &size);
            RegCloseKey(key);
        }
        if (w[4] == "absent") {
            return found == ERROR_SUCCESS ? "the value exists" : "";
        }
        data.resize(found == ERROR_SUCCESS ? size : 0);
        return found == ERROR_SUCCESS && type == expectedType && data == expected
                   ? ""
                   : "the value is " +
                         (found == ERROR_SUCCESS ? std::string("different") : "missing");
    } else {
        return "cannot read this line (tarvik-sim run --help)";
    }
    *lastError = error;
    if (error != ERROR_SUCCESS && !tolerate) {
        return ErrorText(error);
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
        std::string failure;
        try {
            failure = RunLine(options, words, &lastError);
        } catch (const std::exception&) {
            failure = "a number was expected";
        }
        if (!failure.empty()) {
            return Fail(file + ":" + std::to_string(number) + ": " + failure);
        }
    }
    std::printf("%s: passed\n", file.c_str());
    return 0;
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
            return 0;
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        std::fprintf(stderr, kUsage, topology::Usage());
        return 2;
    }
    std::string command = args[i];
    std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    for (size_t k = 0; k < rest.size(); ++k) {
        if (rest[k] == "--help" || rest[k] == "-h") {
            const char* help = HelpOf(command);
            if (help != nullptr) {
                std::fputs(help, stdout);
            } else {
                std::fprintf(stdout, kUsage, topology::Usage());
            }
            return help != nullptr ? 0 : 2;
        }
        if (rest[k] == "--timeout" && k + 1 < rest.size()) {
            options.timeout = std::stod(rest[k + 1]);
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
            std::fputs(HelpOf("new"), stderr);
            return 2;
        }
        return CommandNew(rest[0], templateName);
    }
    if (HelpOf(command) == nullptr) {
        std::fprintf(stderr, kUsage, topology::Usage());
        return 2;
    }
    if (options.machine.empty()) {
        const char* env = std::getenv(sim::Machine::kEnvironmentVariable);
        options.machine = env != nullptr ? env : "";
    }
    if (options.machine.empty() || !fs::is_directory(options.machine)) {
        return Fail("no machine directory (-m MACHINE or TARVIK_MACHINE)");
    }
    options.machine = fs::absolute(options.machine).lexically_normal().string();
    sim::Machine::Use(options.machine);
    if (topology::HelpOf(command) != nullptr) {
        std::vector<std::string> words = rest;
        words.insert(words.begin(), command);
        bool usage = false;
        std::string failure = topology::Run(words, &usage);
        if (usage) {
            std::fputs((failure + "\n").c_str(), stderr);
            return 2;
        }
        return failure.empty() ? 0 : Fail(failure);
    }
    if (ServiceOf(options) != ERROR_SUCCESS) {
        return Fail(
            "name the service with -s: the database has no single service whose "
            "executable exists on the machine");
    }
    if (command == "start" && rest.empty()) {
        return CommandStart(options);
    }
    if (command == "stop" && rest.empty()) {
        return CommandControl(options, SERVICE_CONTROL_STOP, true);
    }
    if (command == "shutdown" && rest.empty()) {
        return CommandControl(options, ShutdownControl(options), true);
    }
    if (command == "control" && rest.size() == 1) {
        return CommandControl(options, static_cast<DWORD>(std::stoul(rest[0], nullptr, 0)), false);
    }
    if (command == "status" && rest.empty()) {
        return CommandStatus(options);
    }
    if (command == "run" && rest.size() == 1) {
        return CommandRun(options, rest[0]);
    }
    std::fputs(HelpOf(command), stderr);
    return 2;
}
