#include <windows.h>

#include "Machine/Clock.h"
#include "Machine/Faults.h"
#include "Machine/Handles.h"
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
    std::shared_ptr<sim::EventObject> event;
    bool existed = false;
    HANDLE handle;
    try {
        if (lpName != NULL) {
            // The attributes of an existing event stay as its creator made them.
            event = sim::HandleTable::Get().NamedEvent(lpName, bManualReset != FALSE,
                                                       bInitialState != FALSE, &existed);
        } else {
            event =
                std::make_shared<sim::EventObject>(bManualReset != FALSE, bInitialState != FALSE);
        }
        handle = sim::HandleTable::Get().Add(event);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

static BOOL SetEventState(const char* function, HANDLE hEvent, bool signaled) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault(function, &error)) {
        return Fail(error, FALSE);
    }
    std::shared_ptr<sim::EventObject> event =
        sim::HandleTable::Get().FindAs<sim::EventObject>(hEvent);
    if (!event) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    sim::Clock& clock = sim::Machine::Get().Clock();
    sim::Clock::Lock hold = clock.Hold();
    event->Set(signaled);
    if (signaled) {
        clock.Notify(hold);
    }
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    return SetEventState("SetEvent", hEvent, true);
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return SetEventState("ResetEvent", hEvent, false);
}

static DWORD WaitFor(const char* function, DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                     DWORD dwMilliseconds) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault(function, &error)) {
        return Fail(error, WAIT_FAILED);
    }
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS) {
        return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    }
    if (lpHandles == NULL) {
        return Fail(ERROR_NOACCESS, WAIT_FAILED);
    }
    std::shared_ptr<sim::Waitable> objects[MAXIMUM_WAIT_OBJECTS];  // no allocation: see Clock::Wait
    for (DWORD i = 0; i < nCount; ++i) {
        objects[i] = sim::HandleTable::Get().FindAs<sim::Waitable>(lpHandles[i]);
        if (!objects[i]) {
            return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
        }
    }
    DWORD satisfied = 0;
    auto ready = [&] {
        if (bWaitAll) {
            for (DWORD i = 0; i < nCount; ++i) {
                if (!objects[i]->Signaled()) {
                    return false;
                }
            }
            for (DWORD i = 0; i < nCount; ++i) {
                objects[i]->Acquire();
            }
            return true;
        }
        for (DWORD i = 0; i < nCount; ++i) {
            if (objects[i]->Signaled()) {
                objects[i]->Acquire();
                satisfied = i;
                return true;
            }
        }
        return false;
    };
    sim::Clock& clock = sim::Machine::Get().Clock();
    sim::Clock::Lock hold = clock.Hold();
    if (!clock.Wait(hold, dwMilliseconds, ready)) {
        return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0 + satisfied;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitFor("WaitForSingleObject", 1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    return WaitFor("WaitForMultipleObjects", nCount, lpHandles, bWaitAll, dwMilliseconds);
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

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    HANDLE self = OwnerOf(sim::CurrentThreadId());
    sim::Clock::Lock hold = sim::Machine::Get().Clock().Hold();
    if (lpCriticalSection->OwningThread != self && lpCriticalSection->OwningThread != NULL) {
        return FALSE;
    }
    lpCriticalSection->OwningThread = self;
    ++lpCriticalSection->RecursionCount;
    return TRUE;
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
