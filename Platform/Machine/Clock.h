// The machine's clock. (Filled in by the threads-and-time work.)
#pragma once

#include "Machine/Settings.h"

#include <string>

namespace sim {

class Clock {
public:
    Clock(const ClockSettings& settings, const std::string& machineDir);
};

}  // namespace sim
