// The maker's management provider in "root\orvexzel2": the service class "Qubra_NetService" with
// the instances machine.json's "management" declares, and its method "GetTarvikWarnings", which
// answers "WarningMessages", an array of embedded objects built from the declared warnings. Every
// call made in the namespace is recorded with the context values it received (wmi-calls.jsonl).
#pragma once

#include "Machine/Wmi/Cim.h"

#include <wbemidl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Json;
class SettingsReader;

// One property of a declared warning; a property the warning does not list is missing.
struct WarningProperty {
    std::u16string name;
    CimValue value;
};

struct ManagementSettings {
    std::vector<std::u16string> instances;  // the Name of each Qubra_NetService instance
    // none: "WarningMessages" is null; each warning its properties in the order declared
    std::optional<std::vector<std::vector<WarningProperty>>> warnings =
        std::vector<std::vector<WarningProperty>>();
};

constexpr const char16_t* kManagementNamespace = u"root\\orvexzel2";

// Reads machine.json's "management" member.
void ReadManagement(SettingsReader& reader, ManagementSettings& settings);

// The namespace's classes and instances.
std::unique_ptr<CimRepository> BuildManagementNamespace(const ManagementSettings& settings,
                                                        const std::u16string& host);

// ExecMethod in the namespace: the output parameters of the instance's method, or Windows'
// error for an object or method that is not there.
HRESULT ExecManagementMethod(const CimRepository& repository, const ManagementSettings& settings,
                             const std::u16string& path, const std::u16string& method,
                             IWbemClassObject** outParams);

// Appends one call to wmi-calls.jsonl: the call, its target and the context's named values.
void RecordWmiCall(const char* call, const std::u16string& target, IWbemContext* context);

}  // namespace sim
