// The fault table: any platform function, by name, made to fail on its n-th call or on every
// call, and an allocation hook that makes a thread's n-th allocation fail.
#pragma once

#include "Machine/Settings/Settings.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class FaultTable {
public:
    explicit FaultTable(const std::vector<FaultSettings>& faults);

    // `call` counts from now: 1 fails the next call, 0 every call from now on.
    void Add(const std::string& function, DWORD error, unsigned call = 0);
    void Clear();

    // Whether any fault is declared: callers that build a qualified name check this first.
    bool Any() const { return m_any.load(std::memory_order_relaxed); }

    // Counts one call of `function`; true with the error to give when this call is to fail.
    bool Hit(const char* function, DWORD* error);

    // The calling thread's n-th allocation from now (1: the next) fails; 0 disarms.
    void FailAllocation(unsigned nth);
    // 0 once the failure armed has happened (or none was armed).
    unsigned AllocationsLeft() const;
    bool AllocationFails();

private:
    struct Entry {
        unsigned calls = 0;
        std::vector<FaultSettings> faults;  // `call` absolute, counted in `calls`
    };
    std::mutex m_lock;
    std::atomic<bool> m_any{false};
    std::map<std::string, Entry, std::less<>> m_entries;  // finds a name without allocating
};

// Called by the machine so that the allocation hook's object is always linked in, ahead of a
// sanitizer runtime's operator new.
void LinkAllocationHook();

// The face functions' check: true when the current machine makes this call of `function` fail.
bool InjectedFault(const char* function, DWORD* error);

}  // namespace sim
