#include <windows.h>

#include "Machine/Wmi/ManagementProvider.h"

#include "Machine/Com/Automation.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"
#include "Machine/Settings/SettingsReader.h"
#include "Machine/Wmi/WmiObjects.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>

namespace sim {

namespace {

const char16_t kServiceClass[] = u"Qubra_NetService";
const char16_t kWarningClass[] = u"Qubra_WarningMessage";
const char16_t kMethod[] = u"GetTarvikWarnings";

// The properties a warning object has, and the CIM type each has when it is null.
const struct {
    const char16_t* name;
    CIMTYPE type;
} kWarningProperties[] = {
    {u"ErrorCode", CIM_SINT32},     {u"MessageText", CIM_STRING}, {u"MessageType", CIM_SINT32},
    {u"MessageAction", CIM_SINT32}, {u"reserved", CIM_SINT32},    {u"reserved2", CIM_STRING},
};

// One declared warning: each member one of its properties, of whatever JSON kind it is given.
std::vector<WarningProperty> ReadWarning(SettingsReader& r) {
    std::vector<WarningProperty> warning;
    for (const auto& member : r.Self().Members()) {
        const Json& v = *r.Any(member.first);
        const auto* known =
            std::find_if(std::begin(kWarningProperties), std::end(kWarningProperties),
                         [&](const auto& p) { return Utf8ToUtf16(member.first) == p.name; });
        if (known == std::end(kWarningProperties)) {
            r.Fail(member.first,
                   "not a warning property (ErrorCode, MessageText, MessageType, MessageAction, "
                   "reserved, reserved2)");
        }
        CimValue value = CimValue::Null(known->type);
        if (v.IsString()) {
            value = CimValue::Str(Utf8ToUtf16(v.String()));
        } else if (v.IsBool()) {
            value = CimValue::Bool(v.Bool());
        } else if (v.IsNumber()) {
            double n = v.Number();
            if (std::floor(n) != n || n < -2147483648.0 || n > 4294967295.0) {
                r.Fail(member.first, "expected a 32-bit whole number");
            }
            value = CimValue::Int(static_cast<long long>(n), CIM_SINT32);
        } else if (!v.IsNull()) {
            r.Fail(member.first, "expected a string, a number, true, false or null");
        }
        warning.push_back({known->name, value});
    }
    return warning;
}

VARIANT VariantOf(const CimValue& cim) {
    VARIANT v{};
    V_VT(&v) = VT_NULL;
    if (cim.kind == CimValue::Kind::String) {
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = NewString(cim.text.data(), static_cast<UINT>(cim.text.size()));
    } else if (cim.kind == CimValue::Kind::Integer) {
        V_VT(&v) = VT_I4;
        V_I4(&v) = static_cast<LONG>(cim.integer);
    } else if (cim.kind == CimValue::Kind::Boolean) {
        V_VT(&v) = VT_BOOL;
        V_BOOL(&v) = cim.boolean ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return v;
}

// "WarningMessages": an array of embedded objects, one per declared warning.
HRESULT WarningArray(const std::vector<std::vector<WarningProperty>>& warnings, VARIANT* out) {
    SAFEARRAY* array = NewVector(VT_UNKNOWN, 0, static_cast<ULONG>(warnings.size()));
    if (array == nullptr) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    for (size_t i = 0; i < warnings.size(); ++i) {
        // Instances of one class share its properties: one the provider did not set is null.
        ComHold<WbemValueObject> object(new WbemValueObject(kWarningClass));
        for (const auto& known : kWarningProperties) {
            CimValue value = CimValue::Null(known.type);
            for (const WarningProperty& property : warnings[i]) {
                if (property.name == known.name) {
                    value = property.value;
                }
            }
            object.Get()->Put(known.name, VariantOf(value), value.type);
        }
        IUnknown* element = static_cast<IWbemClassObject*>(object.Get());
        PutElement(array, static_cast<LONG>(i), element);  // the array takes its own reference
    }
    V_VT(out) = VT_ARRAY | VT_UNKNOWN;
    V_ARRAY(out) = array;
    return S_OK;
}

// A context value as JSON.
std::string JsonOf(const VARIANT& value) {
    switch (V_VT(&value)) {
        case VT_BOOL:
            return V_BOOL(&value) ? "true" : "false";
        case VT_I4:
            return std::to_string(V_I4(&value));
        case VT_BSTR:
            return JsonLine::Quote(Utf16ToUtf8(V_BSTR(&value) ? V_BSTR(&value) : u""));
        default:
            return "null";
    }
}

}  // namespace

void ReadManagement(SettingsReader& r, ManagementSettings& settings) {
    if (const Json* v = r.Get("instances", Json::Kind::Array)) {
        for (const Json& item : v->Items()) {
            if (!item.IsString() || item.String().empty()) {
                r.Fail(item, "\"instances\" lists the Name of each Qubra_NetService instance");
            }
            settings.instances.push_back(Utf8ToUtf16(item.String()));
        }
    }
    if (const Json* v = r.Any("warnings")) {
        if (v->IsNull()) {
            settings.warnings.reset();
        } else if (!v->IsArray()) {
            r.Fail("warnings", "expected a list of warnings, or null");
        }
    }
    r.Array("warnings", [&](SettingsReader& item) {
        if (settings.warnings) {
            settings.warnings->push_back(ReadWarning(item));
        }
    });
}

std::unique_ptr<CimRepository> BuildManagementNamespace(const ManagementSettings& settings,
                                                        const std::u16string& host) {
    auto repository = std::make_unique<CimRepository>(host, kManagementNamespace);
    repository->AddClass(kServiceClass);
    repository->AddClass(kWarningClass);
    repository->AddMethod(kServiceClass, kMethod);
    for (const std::u16string& name : settings.instances) {
        CimInstance instance(kServiceClass, {u"Name"});
        instance.Set(u"Name", CimValue::Str(name));
        repository->AddInstance(std::move(instance));
    }
    return repository;
}

HRESULT ExecManagementMethod(const CimRepository& repository, const ManagementSettings& settings,
                             const std::u16string& path, const std::u16string& method,
                             IWbemClassObject** outParams) {
    const CimInstance* instance = repository.Find(path);
    if (instance == nullptr) {
        return repository.FindClass(path) != nullptr ? WBEM_E_INVALID_METHOD_PARAMETERS
                                                     : WBEM_E_NOT_FOUND;
    }
    if (!repository.HasMethod(instance->ClassName(), method)) {
        return WBEM_E_INVALID_METHOD;
    }
    VARIANT warnings;
    V_VT(&warnings) = VT_NULL;
    if (settings.warnings) {
        HRESULT hr = WarningArray(*settings.warnings, &warnings);
        if (FAILED(hr)) {
            return hr;
        }
    }
    auto* out = new WbemValueObject(u"__PARAMETERS");
    out->Put(u"WarningMessages", warnings, CIM_OBJECT | CIM_FLAG_ARRAY);
    VARIANT result;
    V_VT(&result) = VT_I4;
    V_I4(&result) = 0;
    out->Put(u"ReturnValue", result, CIM_UINT32);
    *outParams = out;
    return WBEM_S_NO_ERROR;
}

void RecordWmiCall(const char* call, const std::u16string& target, IWbemContext* context) {
    std::string values = "null";
    SAFEARRAY* names = nullptr;
    if (context != nullptr && SUCCEEDED(context->GetNames(0, &names)) && names != nullptr) {
        JsonLine line;
        LONG count = static_cast<LONG>(names->rgsabound[0].cElements);
        for (LONG i = 0; i < count; ++i) {
            BSTR name = nullptr;
            GetElement(names, i, &name);
            VARIANT value;
            V_VT(&value) = VT_EMPTY;
            if (name != nullptr && SUCCEEDED(context->GetValue(name, 0, &value))) {
                line.AddRaw(Utf16ToUtf8(name), JsonOf(value));
                ClearVariant(&value);
            }
            FreeString(name);
        }
        DestroyArray(names);
        values = line.Text();
    }
    Machine::Get().AppendRecord("wmi-calls.jsonl",
                                JsonLine()
                                    .Add("process", static_cast<long long>(GetCurrentProcessId()))
                                    .Add("namespace", Utf16ToUtf8(kManagementNamespace))
                                    .Add("call", call)
                                    .Add("target", Utf16ToUtf8(target))
                                    .AddRaw("context", values)
                                    .Text());
}

}  // namespace sim
