#include "Machine/Processes/Handles.h"

#include <atomic>

namespace sim {

namespace {

// Thread ids as Windows gives them: multiples of 4, never 0.
std::atomic<DWORD> g_lastThreadId{0};
thread_local DWORD t_threadId = 0;

}  // namespace

HandleTable& HandleTable::Get() {
    static HandleTable* table = new HandleTable();
    return *table;
}

HANDLE HandleTable::Add(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> hold(m_lock);
    // Values are not reused, so a stale handle fails instead of naming a newer object.
    uintptr_t value = m_next;
    m_next += 4;
    m_objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Find(HANDLE handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == m_objects.end() ? nullptr : found->second;
}

bool HandleTable::Close(HANDLE handle) {
    std::shared_ptr<KernelObject> last;  // released after the lock: its destructor may take others
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_objects.end()) {
        return false;
    }
    last = std::move(found->second);
    m_objects.erase(found);
    return true;
}

DWORD NewThreadId() {
    return g_lastThreadId.fetch_add(4) + 4;
}

DWORD CurrentThreadId() {
    if (t_threadId == 0) {
        t_threadId = NewThreadId();
    }
    return t_threadId;
}

void SetCurrentThreadId(DWORD id) {
    t_threadId = id;
}

}  // namespace sim
