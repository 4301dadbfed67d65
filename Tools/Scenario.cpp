// tarvik-sim's scenario files: one command a line, the verbs in a table.
#include "SimTool.h"

#include "Machine/Machine.h"
#include "Machine/Registry/RegFile.h"
#include "Machine/Services/Services.h"
#include "Machine/Settings/Settings.h"
#include "Machine/Files/UniqueFd.h"
#include "TopologyCommands.h"

#include "Support/ScopedHandles.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace simtool {

namespace {

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

// reg.exe's view option after a registry verb's words: "/reg:32" or "/reg:64"; without one, the
// view of tarvik-sim, a 64-bit process, as an administrator's regedit has it.
std::string ViewOption(const Line& line, size_t at, REGSAM* view) {
    *view = 0;
    if (line.w.size() > at) {
        *view = line.w[at] == "/reg:32"   ? KEY_WOW64_32KEY
                : line.w[at] == "/reg:64" ? KEY_WOW64_64KEY
                                          : 0;
        if (*view == 0) {
            return "expected /reg:32 or /reg:64, not " + line.w[at];
        }
    }
    return "";
}

std::string SetRegistryVerb(Line& line) {
    HKEY root;
    test::ScopedKey key;
    std::u16string subKey;
    DWORD type;
    std::vector<BYTE> data;
    if (!SplitKey(line.w[1], &root, &subKey)) {
        return "no registry root in " + line.w[1];
    }
    REGSAM view = 0;
    std::string error = ParseData(line.w[3], &type, &data);
    if (error.empty()) {
        error = ViewOption(line, 4, &view);
    }
    if (!error.empty()) {
        return error;
    }
    line.error = static_cast<DWORD>(RegCreateKeyExW(
        root, subKey.c_str(), 0, NULL, 0, KEY_SET_VALUE | view, NULL, key.Receive(), NULL));
    if (line.error == ERROR_SUCCESS) {
        line.error =
            static_cast<DWORD>(RegSetValueExW(key, sim::Utf8ToUtf16(line.w[2]).c_str(), 0, type,
                                              data.data(), static_cast<DWORD>(data.size())));
    }
    return "";
}

std::string DeleteRegistryVerb(Line& line) {
    HKEY root;
    test::ScopedKey key;
    std::u16string subKey;
    if (!SplitKey(line.w[1], &root, &subKey)) {
        return "no registry root in " + line.w[1];
    }
    REGSAM view = 0;
    std::string error = ViewOption(line, 3, &view);
    if (!error.empty()) {
        return error;
    }
    line.error = static_cast<DWORD>(
        RegOpenKeyExW(root, subKey.c_str(), 0, KEY_SET_VALUE | view, key.Receive()));
    if (line.error == ERROR_SUCCESS) {
        line.error = static_cast<DWORD>(RegDeleteValueW(key, sim::Utf8ToUtf16(line.w[2]).c_str()));
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
    sim::UniqueFd failed, failedWrite;
    if (!sim::OpenPipe(&failed, &failedWrite, O_CLOEXEC)) {
        return std::string("cannot start ") + argv[0] + ": " + std::strerror(errno);
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execvpe(argv[0], argv.data(), envp.data());
        int error = errno;
        ssize_t written = write(failedWrite.Get(), &error, sizeof(error));
        (void)written;
        _exit(127);
    }
    failedWrite.Reset();
    int execError = 0;
    bool execFailed = pid > 0 && read(failed.Get(), &execError, sizeof(execError)) > 0;
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
    HKEY root;
    test::ScopedKey key;
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
    REGSAM view = 0;
    std::string error = ViewOption(line, 5, &view);
    if (!error.empty()) {
        return error;
    }
    DWORD size = static_cast<DWORD>(data.size());
    LONG found = RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE | view, key.Receive());
    if (found == ERROR_SUCCESS) {
        found =
            RegQueryValueExW(key, sim::Utf8ToUtf16(w[3]).c_str(), NULL, &type, data.data(), &size);
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
    {"set-registry", nullptr, 4, 5, "set-registry KEY NAME dword:N|sz:TEXT [/reg:32|/reg:64]", true,
     SetRegistryVerb},
    {"delete-registry", nullptr, 3, 4, "delete-registry KEY NAME [/reg:32|/reg:64]", true,
     DeleteRegistryVerb},
    {"exec", nullptr, 2, SIZE_MAX, "exec PROGRAM [ARGS...]", true, ExecVerb},
    {"expect", "state", 3, 3, "expect state STATE", false, ExpectStateVerb},
    {"expect", "error", 3, 3, "expect error N", false, ExpectErrorVerb},
    {"expect", "registry", 5, 6,
     "expect registry KEY NAME dword:N|sz:TEXT|absent [/reg:32|/reg:64]", false,
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

}  // namespace

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
}  // namespace simtool
