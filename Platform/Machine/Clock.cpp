#include "Machine/Clock.h"

namespace sim {

Clock::Clock(const ClockSettings&, const std::string&) {}

}  // namespace sim
