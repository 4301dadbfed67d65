#include "Machine/Services/EventLog.h"

#include "Machine/Clock/Clock.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"

#include <cstdio>

namespace sim {

EventLog& EventLog::Get() {
    static EventLog* log = new EventLog();
    return *log;
}

HANDLE EventLog::Register(const std::u16string& source) {
    std::lock_guard<std::mutex> hold(m_lock);
    uintptr_t value = m_next;
    m_next += 4;
    m_sources[value] = source;
    return reinterpret_cast<HANDLE>(value);
}

bool EventLog::Deregister(HANDLE handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_sources.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
}

bool EventLog::SourceOf(HANDLE handle, std::u16string* source) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_sources.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_sources.end()) {
        return false;
    }
    *source = found->second;
    return true;
}

void EventLog::Append(const EventRecord& record) {
    static const char* const kTypeNames[] = {"success", "error", "warning", nullptr, "information"};
    const char* typeName = record.type < 5                         ? kTypeNames[record.type]
                           : record.type == EVENTLOG_AUDIT_SUCCESS ? "auditSuccess"
                           : record.type == EVENTLOG_AUDIT_FAILURE ? "auditFailure"
                                                                   : nullptr;
    std::string strings = "[";
    for (size_t i = 0; i < record.strings.size(); ++i) {
        strings += (i ? "," : "") + JsonLine::Quote(Utf16ToUtf8(record.strings[i]));
    }
    strings += "]";
    std::string data;
    for (BYTE b : record.data) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02X", b);
        data += hex;
    }
    SYSTEMTIME now = Machine::Get().Clock().LocalTime();
    char time[64];
    std::snprintf(time, sizeof(time), "%04u-%02u-%02uT%02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    JsonLine line;
    line.Add("time", time)
        .Add("process", static_cast<long long>(GetCurrentProcessId()))
        .Add("source", Utf16ToUtf8(record.source))
        .Add("type", static_cast<long long>(record.type))
        .Add("typeName", typeName ? typeName : "unknown")
        .Add("category", static_cast<long long>(record.category))
        .Add("eventId", static_cast<long long>(record.eventId))
        .AddRaw("strings", strings)
        .Add("data", data);
    Machine::Get().AppendRecord("eventlog.jsonl", line.Text());
}

}  // namespace sim
