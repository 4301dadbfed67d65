// Whether this process is a 32-bit one under WOW64. On Windows that is a property of the image
// (its PE header's machine type); here an executable links Platform/Image/Image32.cpp to say it
// is the 32-bit program it is on Windows. Everything else runs as a 64-bit process.
#pragma once

namespace sim {

bool ImageIs32Bit();

// A 64-bit machine, whose 32-bit processes run under WOW64.
bool MachineHasWow64();

// A 32-bit image on a 64-bit machine: the registry and file system redirectors apply. A 32-bit
// machine has no WOW64 at all.
bool IsWow64Process();

}  // namespace sim
