#include "Machine/Processes/ProcessImage.h"

#include "Machine/Machine.h"

#include <sysinfoapi.h>

// The image's machine type: this weak default (a 64-bit image) gives way to Image32.cpp's
// definition in an executable that links it.
extern "C" __attribute__((weak)) int TarvikImageBits() {
    return 64;
}

namespace sim {

bool ImageIs32Bit() {
    return TarvikImageBits() == 32;
}

bool MachineHasWow64() {
    WORD architecture = Machine::Get().Settings().os.architecture;
    return architecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           architecture == PROCESSOR_ARCHITECTURE_IA64;
}

bool IsWow64Process() {
    return ImageIs32Bit() && MachineHasWow64();
}

}  // namespace sim
