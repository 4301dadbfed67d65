// The hyperv.json reader on arbitrary bytes: it either names the fault or gives a topology that
// passes its checks and whose written form reads back to the same topology and text.
#include "Machine/HyperVTopology.h"
#include "Machine/Settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    sim::HyperVTopology topology;
    try {
        topology = sim::ParseTopology(bytes, "hyperv.json");
        sim::CheckTopology(topology, "hyperv.json");
    } catch (const sim::TopologyError&) {
        return 0;
    } catch (const sim::SettingsError&) {
        return 0;
    }
    std::string written = sim::WriteTopology(topology);
    try {
        sim::HyperVTopology again = sim::ParseTopology(written, "hyperv.json");
        if (again != topology || sim::WriteTopology(again) != written) {
            std::fprintf(stderr, "round trip changed the topology:\n%s", written.c_str());
            std::abort();
        }
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "written topology rejected: %s\n%s", e.what(), written.c_str());
        std::abort();
    }
    return 0;
}
