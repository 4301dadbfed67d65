#include <windows.h>

#include "Machine/Processes/Handles.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"

#include <new>
#include <string>

// With no debugger on the machine, the text is recorded for whoever looks at the machine.
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
    if (lpOutputString == NULL) {
        return;
    }
    try {
        sim::JsonLine record;
        record.Add("process", static_cast<long long>(GetCurrentProcessId()))
            .Add("thread", static_cast<long long>(sim::CurrentThreadId()))
            .Add("text", sim::Utf16ToUtf8(lpOutputString));
        sim::Machine::Get().AppendRecord("debug-output.jsonl", record.Text());
    } catch (const std::bad_alloc&) {
        // OutputDebugStringW cannot fail; while allocations are made to fail, the line is lost.
    }
}
