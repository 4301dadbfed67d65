#include <windows.h>

#include "Machine/Clock/Clock.h"
#include "Machine/Machine.h"

// None of these can fail on Windows, so no fault reaches them.

DWORD WINAPI GetTickCount(void) {
    return sim::Machine::Get().Clock().TickCount();
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    lpPerformanceCount->QuadPart = sim::Machine::Get().Clock().PerformanceCounter();
    return TRUE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    *lpSystemTime = sim::Machine::Get().Clock().TickLocalTime();
}
