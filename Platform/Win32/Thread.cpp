#include <windows.h>

#include "Machine/Clock/Clock.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Processes/Handles.h"
#include "Machine/Machine.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>

namespace {

struct ThreadStart {
    std::shared_ptr<sim::ThreadObject> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

// Signals the thread's handle and stops counting the thread, also when ExitThread unwinds it.
class ThreadEnd {
public:
    explicit ThreadEnd(sim::ThreadObject& thread) : m_thread(thread) {}
    ~ThreadEnd() {
        sim::Clock& clock = *m_thread.CountedBy();
        sim::Clock::Lock hold = clock.Hold();
        m_thread.Exit();
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
    start->routine(start->parameter);  // nothing reads a thread's exit code
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
    if (dwCreationFlags != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);  // no creation flag is modelled
        return NULL;
    }
    sim::Clock& clock = sim::Machine::Get().Clock();
    DWORD id = sim::NewThreadId();
    std::unique_ptr<ThreadStart> start;
    HANDLE handle;
    try {
        auto thread = std::make_shared<sim::ThreadObject>(id, &clock);
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

void WINAPI ExitThread(DWORD) {
    // Unwinds the thread, so RunThread's ThreadEnd signals the handle.
    pthread_exit(nullptr);
}

DWORD WINAPI GetCurrentThreadId(void) {
    return sim::CurrentThreadId();
}

namespace {

// Windows reads the id from the thread's own block; asking the kernel on every trace line would
// cost a system call. A forked child asks afresh.
std::atomic<DWORD> g_processId{0};
const int g_forgetOnFork = pthread_atfork(nullptr, nullptr, [] { g_processId.store(0); });

}  // namespace

DWORD WINAPI GetCurrentProcessId(void) {
    DWORD id = g_processId.load(std::memory_order_relaxed);
    if (id == 0) {
        id = static_cast<DWORD>(getpid());
        g_processId.store(id, std::memory_order_relaxed);
    }
    return id;
}
