// The WQL parser on arbitrary UTF-16 text (little-endian byte pairs): it either rejects the text
// with a reason or gives a query whose condition can be evaluated and walked.
#include "Machine/Wql.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    sim::wql::Query query;
    std::string error;
    if (!sim::wql::Parse(text, query, &error)) {
        if (error.empty()) {
            std::abort();  // a rejection always says why
        }
        return 0;
    }
    if (query.where) {
        static const FixedSubject subject;
        sim::wql::Matches(*query.where, subject);
        sim::wql::IsaClasses(*query.where);
    }
    return 0;
}
