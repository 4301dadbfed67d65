// The machine's event log: registered event sources and the records reported under them, each
// appended to eventlog.jsonl as it is reported.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct EventRecord {
    std::u16string source;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    std::vector<std::u16string> strings;
    std::vector<BYTE> data;
};

class EventLog {
public:
    static EventLog& Get();

    // A handle for the source; sources need not be installed, as on Windows (the Application
    // log takes them).
    HANDLE Register(const std::u16string& source);
    bool Deregister(HANDLE handle);
    // False when `handle` names no registered source.
    bool SourceOf(HANDLE handle, std::u16string* source);
    void Append(const EventRecord& record);

private:
    EventLog() = default;

    std::mutex m_lock;
    std::map<uintptr_t, std::u16string> m_sources;
    uintptr_t m_next = 0x4000;
};

}  // namespace sim
