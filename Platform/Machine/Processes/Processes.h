// Processes started from the programs machine.json puts on the machine's disk. A program does
// nothing but run: its process ends when its run time has passed on the machine's clock (never,
// for one that never exits) with the exit code the machine gives it, or when it is terminated.
// Each start is appended to processes.jsonl.
//
// A process that runs for a while is timed by a host thread that waits on the machine's clock
// and counts as a platform thread (so virtual time waits for it as for any thread); like any
// platform thread, it must have ended before Machine::Use.
#pragma once

#include "Machine/Processes/Handles.h"
#include "Machine/Settings/Settings.h"

#include <windows.h>

#include <memory>
#include <string>
#include <utility>

namespace sim {

class FileSystem;
class Environment;

// A process's object: signalled when the process has ended. Read and changed under the clock's
// lock, as every waitable is.
class ProcessObject : public Waitable {
public:
    ProcessObject(DWORD id, std::shared_ptr<ThreadObject> primaryThread)
        : m_id(id), m_thread(std::move(primaryThread)) {}
    DWORD Id() const { return m_id; }
    bool Signaled() const override { return m_exited; }
    DWORD ExitCode() const { return m_exited ? m_exitCode : STILL_ACTIVE; }
    // A timed process ends on its host thread, also when terminated: TerminateProcess asks, and
    // the process is signalled once that thread is done with the clock, as on Windows, where
    // termination is asynchronous.
    bool Timed() const { return m_timed; }
    void SetTimed() { m_timed = true; }
    bool TerminationAsked() const { return m_terminationAsked; }
    DWORD TerminationCode() const { return m_terminationCode; }
    void AskTermination(DWORD code) {
        if (!m_terminationAsked) {
            m_terminationAsked = true;
            m_terminationCode = code;
        }
    }
    void Exit(DWORD code) {
        m_exited = true;
        m_exitCode = code;
        m_thread->Exit();  // the program's one thread ends with it
    }

private:
    const DWORD m_id;
    const std::shared_ptr<ThreadObject> m_thread;
    bool m_exited = false;
    DWORD m_exitCode = 0;
    bool m_timed = false;
    bool m_terminationAsked = false;
    DWORD m_terminationCode = 0;
};

struct ProcessStart {
    std::u16string application;  // the program's full path, as found
    std::u16string commandLine;
    std::u16string directory;  // full path
    DWORD creationFlags = 0;
};

// CreateProcessW's search: the program that `applicationName` (no search, no extension added)
// or else the command line's first token names (quoted: up to the closing quote; unquoted: the
// shortest blank-separated prefix that names a program; ".exe" supplied to a name without an
// extension; a name without a directory searched in the current directory, the system
// directory, the Windows directory and PATH). ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND when
// a named directory does not exist.
DWORD FindProgram(const char16_t* applicationName, const std::u16string& commandLine,
                  FileSystem& files, Environment& environment, const ProgramSettings** program,
                  std::u16string* path);

// Starts `program`: its process and primary thread objects, running from now on the clock.
DWORD StartProgram(const ProgramSettings& program, const ProcessStart& start,
                   std::shared_ptr<ProcessObject>* process, std::shared_ptr<ThreadObject>* thread);

// Ends a running process with `code` (a timed one as soon as its host thread sees it);
// ERROR_ACCESS_DENIED when it has already ended.
DWORD TerminateProgram(ProcessObject& process, DWORD code);

}  // namespace sim
