#include "Machine/Faults/Faults.h"

#include "Machine/Machine.h"

namespace sim {

namespace {

// Per thread, so that the machine's own threads cannot take a failure meant for the caller.
thread_local unsigned t_allocationsLeft = 0;

}  // namespace

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
    t_allocationsLeft = 0;
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
    t_allocationsLeft = nth;
}

unsigned FaultTable::AllocationsLeft() const {
    return t_allocationsLeft;
}

bool FaultTable::AllocationFails() {
    return t_allocationsLeft != 0 && --t_allocationsLeft == 0;
}

bool InjectedFault(const char* function, DWORD* error) {
    return Machine::Get().Faults().Hit(function, error);
}

}  // namespace sim
