// The simulated machine's parsers on arbitrary bytes, the first byte picking one (modulo 4; the
// seeds start with "0" to "3"): .reg file, WQL, hyperv.json, machine.json. Each either rejects its
// input with a reason that names where, or gives a result that survives its round trip unchanged.
// A written form that does not read back throws, which ends the run as a crash.
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Registry/RegFile.h"
#include "Machine/Settings/Settings.h"
#include "Machine/Wmi/Wql.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const std::string& text) {
    if (!ok) {
        std::fprintf(stderr, "%s\n", text.c_str());
        std::abort();
    }
}

void RegFileRoundTrips(const std::string& bytes) {
    auto tree = sim::NewRegistryTree(), again = sim::NewRegistryTree();
    try {
        sim::ReadRegFile(bytes, *tree);
    } catch (const sim::RegFileError& e) {
        Check(e.Line() >= 1, std::string("an error on no line: ") + e.what());
        return;
    }
    std::string written = sim::WriteRegFile(*tree);
    sim::ReadRegFile(written, *again);
    Check(tree->SameTree(*again) && sim::WriteRegFile(*again) == written,
          "round trip changed the tree:\n" + written);
}

class FixedSubject : public sim::wql::Subject {
public:
    FixedSubject() {
        m_port.Set(u"IsBound", sim::CimValue::Bool(true))
            .Set(u"LinkTechnology", sim::CimValue::Int(2, CIM_UINT16))
            .Set(u"Name", sim::CimValue::Str(u"Ext"))
            .Set(u"Nothing", sim::CimValue::Null());
    }
    const sim::CimValue* Property(const std::u16string& name) const override {
        return m_port.Find(name);
    }
    bool IsA(const std::u16string& property, const std::u16string& className) const override {
        return sim::CimNamesEqual(property, u"TargetInstance") &&
               sim::CimNamesEqual(className, u"Msvm_ComputerSystem");
    }

private:
    sim::CimInstance m_port{u"Msvm_ExternalEthernetPort", {u"Name"}};
};

// The text is UTF-16, little-endian byte pairs.
void WqlParses(const std::string& bytes) {
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                      (static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    sim::wql::Query query;
    std::string error;
    if (!sim::wql::Parse(text, query, &error)) {
        Check(!error.empty(), "a rejection without a reason");
    } else if (query.where) {
        static const FixedSubject subject;
        sim::wql::Matches(*query.where, subject);
        sim::wql::IsaClasses(*query.where);
    }
}

void TopologyRoundTrips(const std::string& bytes) {
    sim::HyperVTopology topology;
    try {
        topology = sim::ParseTopology(bytes, "hyperv.json");
        sim::CheckTopology(topology, "hyperv.json");
    } catch (const sim::TopologyError&) {
        return;
    } catch (const sim::SettingsError&) {
        return;
    }
    std::string written = sim::WriteTopology(topology);
    sim::HyperVTopology again = sim::ParseTopology(written, "hyperv.json");
    Check(again == topology && sim::WriteTopology(again) == written,
          "round trip changed the topology:\n" + written);
}

void MachineFileLoads(const std::string& text) {
    try {
        sim::ParseSettings(text, "machine.json");
    } catch (const sim::SettingsError& e) {
        Check(std::string(e.what()).rfind("machine.json:", 0) == 0,
              std::string("an error that names no line: ") + e.what());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    void (*const parsers[])(const std::string&) = {RegFileRoundTrips, WqlParses, TopologyRoundTrips,
                                                   MachineFileLoads};
    parsers[data[0] % 4](bytes);
    return 0;
}
