// The machine's registry. (Filled in by the registry work.)
#pragma once

#include <string>

namespace sim {

class RegistryStore {
public:
    explicit RegistryStore(const std::string& machineDir);
};

}  // namespace sim
