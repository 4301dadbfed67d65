// Allocation failures, the machine's own allocations counted too, so that a face reporting the
// failure is tried along with the product's code.
#pragma once

#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"

#include <climits>
#include <new>
#include <vector>

namespace test {

// What an operation gave that ended in std::bad_alloc.
const long kThrewBadAlloc = LONG_MIN;

// Runs `operation` (which returns a long) with its first allocation failing, then its second,
// and so on until a run makes no more allocations than the failing one's number: what each run
// that had a failure gave, then what the run without one gave.
template <typename Operation>
std::vector<long> OutcomesWithEachAllocationFailing(Operation operation) {
    sim::FaultTable& faults = sim::Machine::Get().Faults();
    std::vector<long> outcomes;
    for (unsigned n = 1;; ++n) {
        long outcome = kThrewBadAlloc;
        faults.FailAllocation(n);
        try {
            outcome = operation();
        } catch (const std::bad_alloc&) {
        }
        bool failed = faults.AllocationsLeft() == 0;
        faults.FailAllocation(0);
        outcomes.push_back(outcome);
        if (!failed) {
            return outcomes;
        }
    }
}

}  // namespace test
