// Heap allocations made in this process so far, for counters such as allocations per trace line.
#pragma once

#include <stddef.h>

namespace bench {

size_t Allocations();

}  // namespace bench
