#include "Machine/RegistryStore.h"

namespace sim {

RegistryStore::RegistryStore(const std::string&) {}

}  // namespace sim
