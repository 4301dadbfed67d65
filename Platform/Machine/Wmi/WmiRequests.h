// How many requests (queries, object fetches, enumerations, method calls) this process's
// IWbemServices objects have received, for benchmarks.
#pragma once

namespace sim {

unsigned long long WmiRequests();

}  // namespace sim
