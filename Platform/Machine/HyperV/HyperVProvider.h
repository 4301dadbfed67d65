// The Hyper-V virtualization provider: the WMI namespace a topology shows, in the version-1
// model ("root\virtualization", Windows Server 2008 R2) or the version-2 model
// ("root\virtualization\v2", Windows 8 / Server 2012 and later).
#pragma once

#include "Machine/Wmi/Cim.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Settings/Settings.h"

#include <memory>
#include <vector>

namespace sim {

// The namespace of a model: u"root\\virtualization" or u"root\\virtualization\\v2".
const char16_t* HyperVNamespace(bool version2);

// Whether a machine of this OS version has the version-2 model: 6.2 and later, the same test the
// service makes. A topology's explicit model wins.
bool HyperVVersion2(const HyperVTopology& topology, const OsSettings& os);

// Every class, instance and association of the namespace. `adapters` supplies the external
// ports' default names (machine.json's adapters[]); a running VM's OnTimeInMilliseconds is
// worked out at `nowMs` on the machine's clock, by default the clock's time now.
std::unique_ptr<CimRepository> BuildHyperVNamespace(const HyperVTopology& topology, bool version2,
                                                    const std::vector<AdapterSettings>& adapters);
std::unique_ptr<CimRepository> BuildHyperVNamespace(const HyperVTopology& topology, bool version2,
                                                    const std::vector<AdapterSettings>& adapters,
                                                    long long nowMs);

}  // namespace sim
