#include "Machine/Faults.h"

#include "Machine/Machine.h"

namespace sim {

FaultTable::FaultTable(const std::vector<FaultSettings>& faults) {
    for (const FaultSettings& fault : faults) {
        m_entries[fault.function].faults.push_back(fault);
    }
    m_any = !faults.empty();
}

void FaultTable::Add(const std::string& function, DWORD error, unsigned call) {
    std::lock_guard<std::mutex> hold(m_lock);
    Entry& entry = m_entries[function];
    FaultSettings fault{function, error, call == 0 ? 0 : entry.calls + call};
    entry.faults.push_back(fault);
    m_any = true;
}

void FaultTable::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_entries.clear();
    m_any = false;
    m_allocationsLeft = 0;
}

bool FaultTable::Hit(const char* function, DWORD* error) {
    if (!m_any.load(std::memory_order_relaxed)) {
        return false;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_entries.find(std::string_view(function));
    if (found == m_entries.end()) {
        return false;
    }
    Entry& entry = found->second;
    ++entry.calls;
    for (const FaultSettings& fault : entry.faults) {
        if (fault.call == 0 || fault.call == entry.calls) {
            *error = fault.error;
            return true;
        }
    }
    return false;
}

void FaultTable::FailAllocation(unsigned nth) {
    m_allocationsLeft = static_cast<long>(nth);
}

bool FaultTable::AllocationFails() {
    if (m_allocationsLeft.load(std::memory_order_relaxed) <= 0) {
        return false;
    }
    return m_allocationsLeft.fetch_sub(1) == 1;
}

bool InjectedFault(const char* function, DWORD* error) {
    return Machine::Get().Faults().Hit(function, error);
}

}  // namespace sim
