#include <windows.h>

#include "Machine/Clock/Clock.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Processes/Handles.h"
#include "Machine/Machine.h"

#include <memory>
#include <string>
#include <new>

namespace {

DWORD Fail(DWORD error, DWORD result) {
    SetLastError(error);
    return result;
}

HANDLE OwnerOf(DWORD threadId) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(threadId));
}

// Makes `self` the owner of a free critical section.
bool Claim(HANDLE* owner, HANDLE self) {
    HANDLE free = NULL;
    return __atomic_compare_exchange_n(owner, &free, self, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

}  // namespace

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("CreateEventW", &error)) {
        SetLastError(error);
        return NULL;
    }
    if (lpName != NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);  // named objects are not modelled
        return NULL;
    }
    HANDLE handle;
    try {
        handle = sim::HandleTable::Get().Add(
            std::make_shared<sim::EventObject>(bManualReset != FALSE, bInitialState != FALSE));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("WaitForSingleObject", &error)) {
        return Fail(error, WAIT_FAILED);
    }
    std::shared_ptr<sim::Waitable> object = sim::HandleTable::Get().FindAs<sim::Waitable>(hHandle);
    if (!object) {
        return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    }
    auto ready = [&] {
        if (!object->Signaled()) {
            return false;
        }
        object->Acquire();
        return true;
    };
    sim::Clock& clock = sim::Machine::Get().Clock();
    sim::Clock::Lock hold = clock.Hold();
    return clock.Wait(hold, dwMilliseconds, ready) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    sim::Machine::Get().Clock().Sleep(dwMilliseconds);
}

// A critical section is claimed and released with atomic operations, as on Windows: every trace
// line enters one. Only a thread that must wait takes the clock's lock, so that it counts as
// waiting for virtual time; a leaving thread takes it only to wake such a thread. The owner is
// freed before the waiters are counted and counted after they are, so no wake-up is lost.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::Clock::Lock hold = sim::Machine::Get().Clock().Hold();
    *lpCriticalSection = CRITICAL_SECTION{};
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::Clock::Lock hold = sim::Machine::Get().Clock().Hold();
    *lpCriticalSection = CRITICAL_SECTION{};
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    HANDLE self = OwnerOf(sim::CurrentThreadId());
    HANDLE* owner = &lpCriticalSection->OwningThread;
    if (__atomic_load_n(owner, __ATOMIC_RELAXED) != self && !Claim(owner, self)) {
        sim::Clock& clock = sim::Machine::Get().Clock();
        sim::Clock::Lock hold = clock.Hold();
        __atomic_add_fetch(&lpCriticalSection->LockCount, 1, __ATOMIC_SEQ_CST);
        while (!Claim(owner, self)) {
            clock.Wait(hold, INFINITE,
                       [&] { return __atomic_load_n(owner, __ATOMIC_SEQ_CST) == NULL; });
        }
        __atomic_sub_fetch(&lpCriticalSection->LockCount, 1, __ATOMIC_SEQ_CST);
    }
    ++lpCriticalSection->RecursionCount;  // the owner's alone
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    HANDLE self = OwnerOf(sim::CurrentThreadId());
    HANDLE* owner = &lpCriticalSection->OwningThread;
    if (__atomic_load_n(owner, __ATOMIC_RELAXED) != self) {
        // Windows would corrupt the section silently; here the bug stops the program.
        sim::Machine::Stop("LeaveCriticalSection by thread " +
                           std::to_string(sim::CurrentThreadId()) +
                           ", which does not own the section");
    }
    if (--lpCriticalSection->RecursionCount == 0) {
        __atomic_store_n(owner, HANDLE(NULL), __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&lpCriticalSection->LockCount, __ATOMIC_SEQ_CST) > 0) {
            sim::Clock& clock = sim::Machine::Get().Clock();
            sim::Clock::Lock hold = clock.Hold();
            clock.Notify(hold);
        }
    }
}
