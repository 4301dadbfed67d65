#include "Machine/Processes/Processes.h"

#include "Machine/Clock/Clock.h"
#include "Machine/Processes/Environment.h"
#include "Machine/Files/FileSystem.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"
#include "Machine/Processes/Modules.h"

#include <sys/stat.h>

#include <cmath>
#include <system_error>
#include <thread>
#include <vector>

namespace sim {

namespace {

bool HasDirectory(const std::u16string& name) {
    return name.find_first_of(u"\\/") != std::u16string::npos ||
           (name.size() >= 2 && name[1] == u':');
}

bool IsHostDirectory(FileSystem& files, const std::u16string& path) {
    std::string host;
    struct stat st;
    return files.HostPath(path, &host) == ERROR_SUCCESS && stat(host.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode);
}

std::u16string Join(const std::u16string& directory, const std::u16string& name) {
    if (!directory.empty() && (directory.back() == u'\\' || directory.back() == u'/')) {
        return directory + name;
    }
    return directory + u"\\" + name;
}

// The program declared at `fullPath`, and its path as the disk spells it.
const ProgramSettings* Declared(const std::u16string& fullPath, std::u16string* spelled) {
    for (const ProgramSettings& program : Machine::Get().Settings().programs) {
        std::u16string declared = program.path;
        if (declared.size() < 2 || declared[1] != u':') {
            declared = u"C:" + declared;
        }
        if (EqualNoCase(declared, fullPath)) {
            *spelled = declared;
            return &program;
        }
    }
    return nullptr;
}

// One name, searched or not: ERROR_SUCCESS with the program, else why it is not there.
DWORD FindOne(std::u16string name, bool addExtension, FileSystem& files, Environment& environment,
              const ProgramSettings** program, std::u16string* path) {
    size_t slash = name.find_last_of(u"\\/");
    std::u16string file = slash == std::u16string::npos ? name : name.substr(slash + 1);
    if (addExtension && file.find(u'.') == std::u16string::npos) {
        name += u".exe";
    }
    std::vector<std::u16string> candidates;
    if (HasDirectory(name) || !addExtension) {
        candidates.push_back(files.TargetPath(name));
    } else {
        for (const std::u16string& directory :
             {files.CurrentDirectory(), std::u16string(ModuleTable::kSystemDirectory),
              Join(ModuleTable::kWindowsDirectory, u"System"),
              std::u16string(ModuleTable::kWindowsDirectory)}) {
            candidates.push_back(files.TargetPath(Join(directory, name)));
        }
        std::u16string list = environment.Get(u"PATH").value_or(u"");
        size_t start = 0;
        for (size_t end; (end = list.find(u';', start)) != std::u16string::npos; start = end + 1) {
            if (end > start) {
                candidates.push_back(files.TargetPath(Join(list.substr(start, end - start), name)));
            }
        }
        if (start < list.size()) {
            candidates.push_back(files.TargetPath(Join(list.substr(start), name)));
        }
    }
    for (const std::u16string& candidate : candidates) {
        if (const ProgramSettings* found = Declared(candidate, path)) {
            *program = found;
            return ERROR_SUCCESS;
        }
    }
    if (candidates.size() == 1) {
        const std::u16string& full = candidates.front();
        std::u16string directory = full.substr(0, full.find_last_of(u'\\') + 1);
        if (!IsHostDirectory(files, directory)) {
            return ERROR_PATH_NOT_FOUND;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

}  // namespace

DWORD FindProgram(const char16_t* applicationName, const std::u16string& commandLine,
                  FileSystem& files, Environment& environment, const ProgramSettings** program,
                  std::u16string* path) {
    if (applicationName != nullptr) {
        return FindOne(applicationName, false, files, environment, program, path);
    }
    size_t begin = commandLine.find_first_not_of(u" \t");
    if (begin == std::u16string::npos) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (commandLine[begin] == u'"') {
        size_t close = commandLine.find(u'"', begin + 1);
        std::u16string name = commandLine.substr(
            begin + 1, close == std::u16string::npos ? std::u16string::npos : close - begin - 1);
        return FindOne(name, true, files, environment, program, path);
    }
    // Unquoted: "C:\Program Files\x.exe a" is tried as "C:\Program", then "C:\Program Files\x.exe",
    // ...; the error is the first name's.
    DWORD first = ERROR_SUCCESS;
    size_t end = begin;
    for (;;) {
        end = commandLine.find_first_of(u" \t", end);
        std::u16string name = commandLine.substr(
            begin, end == std::u16string::npos ? std::u16string::npos : end - begin);
        DWORD error = FindOne(name, true, files, environment, program, path);
        if (error == ERROR_SUCCESS) {
            return error;
        }
        if (first == ERROR_SUCCESS) {
            first = error;
        }
        if (end == std::u16string::npos) {
            return first;
        }
        end = commandLine.find_first_not_of(u" \t", end);
        if (end == std::u16string::npos) {
            return first;
        }
    }
}

DWORD StartProgram(const ProgramSettings& program, const ProcessStart& start,
                   std::shared_ptr<ProcessObject>* process, std::shared_ptr<ThreadObject>* thread) {
    Machine& machine = Machine::Get();
    DWORD processId = NewThreadId();  // one pool of ids for processes and threads, as on Windows
    *thread = std::make_shared<ThreadObject>(NewThreadId(), nullptr);
    *process = std::make_shared<ProcessObject>(processId, *thread);

    JsonLine line;
    line.Add("time", RecordTime())
        .Add("process", static_cast<long long>(GetCurrentProcessId()))
        .Add("id", static_cast<long long>(processId))
        .Add("application", Utf16ToUtf8(start.application))
        .Add("commandLine", Utf16ToUtf8(start.commandLine))
        .Add("directory", Utf16ToUtf8(start.directory))
        .Add("creationFlags", static_cast<long long>(start.creationFlags));
    machine.AppendRecord("processes.jsonl", line.Text());

    Clock& clock = machine.Clock();
    if (!program.runSeconds || *program.runSeconds <= 0) {
        if (program.runSeconds) {
            Clock::Lock hold = clock.Hold();
            (*process)->Exit(program.exitCode);
            clock.Notify(hold);
        }
        return ERROR_SUCCESS;  // ended at once, or never ends unless terminated
    }
    unsigned long long runMs =
        static_cast<unsigned long long>(std::llround(*program.runSeconds * 1000));
    std::shared_ptr<ProcessObject> timed = *process;
    timed->SetTimed();
    DWORD exitCode = program.exitCode;
    clock.AddThread();
    try {
        std::thread([timed, &clock, runMs, exitCode] {
            clock.ThreadStarted();
            Clock::Lock hold = clock.Hold();
            unsigned long long left = runMs;
            while (left > 0 && !timed->TerminationAsked()) {
                DWORD slice = static_cast<DWORD>(std::min<unsigned long long>(left, INFINITE - 1));
                clock.Wait(hold, slice, [&] { return timed->TerminationAsked(); });
                left -= slice;
            }
            timed->Exit(timed->TerminationAsked() ? timed->TerminationCode() : exitCode);
            clock.Notify(hold);
            clock.RemoveThread(hold);
        }).detach();
    } catch (const std::system_error&) {
        Clock::Lock hold = clock.Hold();
        clock.RemoveThread(hold);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

DWORD TerminateProgram(ProcessObject& process, DWORD code) {
    Clock& clock = Machine::Get().Clock();
    Clock::Lock hold = clock.Hold();
    if (process.Signaled()) {
        return ERROR_ACCESS_DENIED;
    }
    if (process.Timed()) {
        process.AskTermination(code);
    } else {
        process.Exit(code);
    }
    clock.Notify(hold);
    return ERROR_SUCCESS;
}

}  // namespace sim
