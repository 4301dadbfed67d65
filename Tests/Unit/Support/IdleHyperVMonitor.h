// The Hyper-V monitor without its worker thread, for tests that call its steps directly.
#pragma once

#include "HyperVMonitor.h"

namespace test {

class IdleHyperVMonitor : public HyperVMonitor {
public:
    bool SpawnThread() override { return false; }
};

}  // namespace test
