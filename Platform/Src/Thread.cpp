#include <windows.h>

#include "Machine/Clock.h"
#include "Machine/Faults.h"
#include "Machine/Handles.h"
#include "Machine/Machine.h"

#include <pthread.h>
#include <unistd.h>

#include <memory>
#include <new>

namespace {

struct ThreadStart {
    std::shared_ptr<sim::ThreadObject> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

thread_local DWORD t_exitCode = 0;

// Signals the thread's handle and stops counting the thread, also when ExitThread unwinds it.
class ThreadEnd {
public:
    explicit ThreadEnd(sim::ThreadObject& thread) : m_thread(thread) {}
    ~ThreadEnd() {
        sim::Clock& clock = *m_thread.CountedBy();
        sim::Clock::Lock hold = clock.Hold();
        m_thread.Exit(t_exitCode);
        clock.Notify(hold);
        clock.RemoveThread(hold);
    }

private:
    sim::ThreadObject& m_thread;
};

void* RunThread(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    sim::ThreadObject& thread = *start->thread;
    sim::SetCurrentThreadId(thread.Id());
    sim::Clock& clock = *thread.CountedBy();
    clock.ThreadStarted();
    ThreadEnd end(thread);
    {
        sim::Clock::Lock hold = clock.Hold();
        clock.Wait(hold, INFINITE, [&] { return thread.SuspendCount() == 0; });
    }
    t_exitCode = start->routine(start->parameter);
    return nullptr;
}

}  // namespace

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("CreateThread", &error)) {
        SetLastError(error);
        return NULL;
    }
    sim::Clock& clock = sim::Machine::Get().Clock();
    DWORD id = sim::NewThreadId();
    std::unique_ptr<ThreadStart> start;
    HANDLE handle;
    try {
        auto thread = std::make_shared<sim::ThreadObject>(
            id, &clock, (dwCreationFlags & CREATE_SUSPENDED) != 0 ? 1 : 0);
        start = std::make_unique<ThreadStart>(ThreadStart{thread, lpStartAddress, lpParameter});
        handle = sim::HandleTable::Get().Add(thread);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // The size asked for is a minimum; the host's default is usually larger.
    size_t defaultSize = 0;
    pthread_attr_getstacksize(&attributes, &defaultSize);
    if (dwStackSize > defaultSize) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        pthread_attr_setstacksize(&attributes, (dwStackSize + page - 1) / page * page);
    }
    // Counted from now: virtual time must not move before the new thread has run.
    clock.AddThread();
    pthread_t host;
    int failed = pthread_create(&host, &attributes, RunThread, start.get());
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        sim::HandleTable::Get().Close(handle);
        sim::Clock::Lock hold = clock.Hold();
        clock.RemoveThread(hold);
        hold.unlock();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    start.release();  // RunThread owns it now
    if (lpThreadId != NULL) {
        *lpThreadId = id;
    }
    return handle;
}

void WINAPI ExitThread(DWORD dwExitCode) {
    t_exitCode = dwExitCode;
    // Unwinds the thread, so RunThread's ThreadEnd signals the handle.
    pthread_exit(nullptr);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("GetExitCodeThread", &error)) {
        SetLastError(error);
        return FALSE;
    }
    std::shared_ptr<sim::ThreadObject> thread =
        sim::HandleTable::Get().FindAs<sim::ThreadObject>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    sim::Clock::Lock hold = sim::Machine::Get().Clock().Hold();
    if (lpExitCode != NULL) {
        *lpExitCode = thread->ExitCode();
    }
    return TRUE;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("ResumeThread", &error)) {
        SetLastError(error);
        return static_cast<DWORD>(-1);
    }
    std::shared_ptr<sim::ThreadObject> thread =
        sim::HandleTable::Get().FindAs<sim::ThreadObject>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    sim::Clock& clock = sim::Machine::Get().Clock();
    sim::Clock::Lock hold = clock.Hold();
    DWORD previous = thread->SuspendCount();
    thread->Resume();
    clock.Notify(hold);
    return previous;
}

DWORD WINAPI GetCurrentThreadId(void) {
    return sim::CurrentThreadId();
}

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
