// CZelWMI on the machine's WMI objects: the provider's warning array read into records (fields,
// defaults, the status of the last read, the early ends with their lines) and a string property
// read; every object, string and array the reads touch is released.
#include "ZelWMI.h"

#include "Support/MachineTest.h"
#include "Support/Narrow.h"
#include "Support/WmiValues.h"

namespace {

using test::Narrow;
using test::Value;
typedef sim::ComHold<sim::WbemValueObject> Object;

const WCHAR kWarnings[] = TEXT("WarningMessages");
const std::string kEntry = "ENTRY:  CZelWMI::GetPropertyWarningMessages";
const std::string kExit = "EXIT:  CZelWMI::GetPropertyWarningMessages";

// A null text or `reserved2` is a null value; `withReserved2` false leaves the property out.
Object Warning(LONG code, const WCHAR* text, LONG type, const WCHAR* reserved2,
               bool withReserved2 = true) {
    Object warning(new sim::WbemValueObject(u"Qubra_WarningMessage"));
    warning.Get()->Put(u"ErrorCode", Value(VT_I4, code), CIM_SINT32);
    warning.Get()->Put(u"MessageText", text ? Value(VT_BSTR, 0, text) : Value(VT_NULL), CIM_STRING);
    warning.Get()->Put(u"MessageType", Value(type < 0 ? VT_NULL : VT_I4, type), CIM_SINT32);
    warning.Get()->Put(u"MessageAction", Value(VT_I4, code % 4), CIM_SINT32);
    warning.Get()->Put(u"reserved", Value(VT_I4, code * 2), CIM_SINT32);
    if (withReserved2) {
        warning.Get()->Put(u"reserved2", Value(VT_BSTR, 0, reserved2), CIM_STRING);
    }
    return warning;
}

// Every field of each record, "code|text|type|action|reserved|reserved2".
std::vector<std::string> FieldsOf(const std::vector<WarningMessage>& messages) {
    std::vector<std::string> records;
    for (const WarningMessage& m : messages) {
        records.push_back(std::to_string(m.ErrorCode) + "|" + Narrow(m.MessageText) + "|" +
                          std::to_string(m.MessageType) + "|" + std::to_string(m.MessageAction) +
                          "|" + std::to_string(m.reserved) + "|" + Narrow(m.reserved2));
    }
    return records;
}

// An object holding the array as the provider sends it: embedded objects as IUnknown elements.
Object Holder(LONG lower, const std::vector<IUnknown*>& elements) {
    SAFEARRAY* array =
        SafeArrayCreateVector(VT_UNKNOWN, lower, static_cast<ULONG>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i) {
        LONG index = lower + static_cast<LONG>(i);
        EXPECT_EQ(S_OK, SafeArrayPutElement(array, &index, elements[i]));
    }
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_ARRAY | VT_UNKNOWN;
    V_ARRAY(&value) = array;
    Object holder(new sim::WbemValueObject(u"__PARAMETERS"));
    holder.Get()->Put(kWarnings, value, CIM_OBJECT | CIM_FLAG_ARRAY);
    return holder;
}

// Faults and the leak ledger are checked by the fixture; no machine of its own is needed.
class ZelWMITest : public test::MachineTest {
protected:
    static HRESULT Read(IWbemClassObject* holder, std::vector<WarningMessage>& messages) {
        CZelString name(kWarnings);
        return CZelWMI::GetPropertyWarningMessages(holder, name, messages);
    }
};

TEST_F(ZelWMITest, AMissingValueKeepsItsDefaultAndTheLastElementsLastReadGivesTheStatus) {
    Object nulls = Warning(5, nullptr, -1, TEXT("r2"));
    Object noReserved2 = Warning(8, TEXT("no reserved2"), 1, nullptr, false);
    Object full = Warning(9, TEXT("full"), 1, TEXT("x"));
    Object denied = Warning(10, TEXT("denied"), 1, TEXT("x"));
    // Not a class object at all: the element is skipped.
    IUnknown* stranger = NULL;
    ASSERT_EQ(S_OK, sim::NewWbemContext(IID_IUnknown, reinterpret_cast<void**>(&stranger)));

    typedef std::vector<IUnknown*> Elements;
    typedef std::vector<std::string> Records;
    struct Case {
        const char* name;
        bool secondDenied;  // the second element's code and reserved2 cannot be read
        HRESULT status;
        Elements elements;
        Records records;
    };
    const Case cases[] = {
        {"null fields, a failing read, no reserved2 last", true, WBEM_E_NOT_FOUND,
         Elements{nulls.Get(), denied.Get(), noReserved2.Get()},
         Records{"5||0|1|10|r2", "0|denied|1|2|20|", "8|no reserved2|1|0|16|"}},
        {"no reserved2 first", false, S_OK, Elements{noReserved2.Get(), full.Get()},
         Records{"8|no reserved2|1|0|16|", "9|full|1|1|18|x"}},
        {"a failing read last", true, WBEM_E_ACCESS_DENIED, Elements{full.Get(), denied.Get()},
         Records{"9|full|1|1|18|x", "0|denied|1|2|20|"}},
        {"not a class object last", false, E_NOINTERFACE, Elements{full.Get(), stranger},
         Records{"9|full|1|1|18|x"}},
        {"a null element last", false, WBEM_E_INVALID_OBJECT, Elements{full.Get(), nullptr},
         Records{"9|full|1|1|18|x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Object holder = Holder(0, c.elements);
        if (c.secondDenied) {
            sim::Machine::Get().Faults().Add("IWbemClassObject::Get:ErrorCode", WBEM_E_FAILED, 2);
            sim::Machine::Get().Faults().Add("IWbemClassObject::Get:reserved2",
                                             static_cast<DWORD>(WBEM_E_ACCESS_DENIED), 2);
        }
        std::vector<WarningMessage> messages;
        EXPECT_EQ(c.status, Read(holder.Get(), messages));
        sim::Machine::Get().Faults().Clear();
        EXPECT_EQ(c.records, FieldsOf(messages));
    }
    stranger->Release();
}

TEST_F(ZelWMITest, EndsWithItsLineWhenThereIsNoArrayToRead) {
    const char kGet[] = "IWbemClassObject::Get:WarningMessages";
    struct Case {
        HRESULT status;
        const char* line;
        VARTYPE type;       // of the property; VT_EMPTY: none; VT_DISPATCH: no object at all
        const char* fault;  // fails with `status`; null: none
    };
    const Case cases[] = {
        {WBEM_E_NOT_FOUND, "GetPropertyWarningMessages() - pIWbemClassObject->Get() failed!",
         VT_EMPTY, nullptr},
        {WBEM_E_ACCESS_DENIED, "GetPropertyWarningMessages() - pIWbemClassObject->Get() failed!",
         VT_NULL, kGet},
        {E_FAIL, "GetPropertyWarningMessages -> invalid data returned!!", VT_NULL, nullptr},
        {E_FAIL, "GetPropertyWarningMessages -> invalid array returned!!", VT_I4, nullptr},
        {DISP_E_BADINDEX, "GetPropertyWarningMessages -> call to SafeArrayGetLBound() failed!!",
         VT_ARRAY, "SafeArrayGetLBound"},
        {DISP_E_BADINDEX, "GetPropertyWarningMessages -> call to SafeArrayGetUBound() failed!!",
         VT_ARRAY, "SafeArrayGetUBound"},
        {E_FAIL, "GetPropertyWarningMessages() -> pIWbemClassObject == NULL", VT_DISPATCH, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line + std::string(" / ") + std::to_string(c.status));
        Object holder =
            c.type == VT_ARRAY ? Holder(0, {}) : Object(new sim::WbemValueObject(u"__PARAMETERS"));
        if (c.type == VT_NULL || c.type == VT_I4) {
            holder.Get()->Put(kWarnings, Value(c.type, 3), CIM_SINT32);
        }
        if (c.fault != nullptr) {
            sim::Machine::Get().Faults().Add(c.fault, static_cast<DWORD>(c.status));
        }
        MarkTrace();
        std::vector<WarningMessage> messages(2);
        EXPECT_EQ(c.status, Read(c.type == VT_DISPATCH ? nullptr : holder.Get(), messages));
        sim::Machine::Get().Faults().Clear();
        EXPECT_EQ(2u, messages.size());
        EXPECT_EQ((std::vector<std::string>{kEntry, c.line, kExit}), NewMessages());
    }
}

TEST_F(ZelWMITest, GetPropertyAsStringGivesTheTextOrSaysWhetherTheValueWasNull) {
    const WCHAR kPath[] = TEXT("\\\\HOST\\root\\orvexzel2:Qubra_NetService.Name=\"A\"");
    Object object(new sim::WbemValueObject(u"Qubra_NetService"));
    object.Get()->Put(u"__PATH", Value(VT_BSTR, 0, kPath), CIM_STRING);
    object.Get()->Put(u"Caption", Value(VT_NULL), CIM_STRING);
    object.Get()->Put(u"Count", Value(VT_I4, 4), CIM_SINT32);
    object.Get()->Put(u"Denied", Value(VT_BSTR, 0, TEXT("hidden")), CIM_STRING);
    sim::Machine::Get().Faults().Add("IWbemClassObject::Get:Denied",
                                     static_cast<DWORD>(WBEM_E_ACCESS_DENIED));
    struct Case {
        const WCHAR* property;
        bool noObject;
        HRESULT status;
        std::string value;
        bool isNull;
    };
    const Case cases[] = {
        {TEXT("__PATH"), false, S_OK, Narrow(kPath), false},
        {TEXT("Caption"), false, S_OK, "", true},
        {TEXT("Count"), false, S_OK, "", false},
        {TEXT("Absent"), false, WBEM_E_NOT_FOUND, "", false},
        {TEXT("Denied"), false, WBEM_E_ACCESS_DENIED, "", false},
        {TEXT("__PATH"), true, E_FAIL, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.property) + (c.noObject ? " without an object" : ""));
        MarkTrace();
        CZelBstr name(c.property);
        CZelBstr value(TEXT("left from before"));
        bool isNull = !c.isNull;
        EXPECT_EQ(c.status, CZelWMI::GetPropertyAsString(c.noObject ? nullptr : object.Get(), name,
                                                         value, isNull));
        EXPECT_EQ(c.value, Narrow(value.Text()));
        EXPECT_EQ(c.value.size(), value.Length());
        EXPECT_EQ(c.isNull, isNull);
        std::vector<std::string> expected = {"ENTRY:  CZelWMI::GetPropertyAsString",
                                             "EXIT:  CZelWMI::GetPropertyAsString"};
        if (c.noObject) {
            expected.insert(expected.begin() + 1, "GetPropertyAsString -> pInstance == NULL");
        }
        EXPECT_EQ(expected, NewMessages());
    }
}

}  // namespace
