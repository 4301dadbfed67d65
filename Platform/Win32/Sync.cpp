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

// A critical section's fields are read and changed under the clock's lock, so that a thread
// waiting to enter one counts as waiting for virtual time.
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
    sim::Clock& clock = sim::Machine::Get().Clock();
    sim::Clock::Lock hold = clock.Hold();
    if (lpCriticalSection->OwningThread != self && lpCriticalSection->OwningThread != NULL) {
        ++lpCriticalSection->LockCount;
        clock.Wait(hold, INFINITE, [&] { return lpCriticalSection->OwningThread == NULL; });
        --lpCriticalSection->LockCount;
    }
    lpCriticalSection->OwningThread = self;
    ++lpCriticalSection->RecursionCount;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    HANDLE self = OwnerOf(sim::CurrentThreadId());
    sim::Clock& clock = sim::Machine::Get().Clock();
    sim::Clock::Lock hold = clock.Hold();
    if (lpCriticalSection->OwningThread != self) {
        // Windows would corrupt the section silently; here the bug stops the program.
        sim::Machine::Stop("LeaveCriticalSection by thread " +
                           std::to_string(sim::CurrentThreadId()) +
                           ", which does not own the section");
    }
    if (--lpCriticalSection->RecursionCount == 0) {
        lpCriticalSection->OwningThread = NULL;
        if (lpCriticalSection->LockCount > 0) {
            clock.Notify(hold);
        }
    }
}
