// CZelWMI on WMI doubles: the provider's warning array read into records (fields, defaults, the
// status of the last read, the early ends with their lines) and a string property read; every
// object, string and array the reads touch is released.
#include "ZelWMI.h"

#include "Machine/ComRuntime.h"
#include "Support/FakeWbem.h"
#include "Support/Narrow.h"
#include "Support/TraceTest.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using test::ComRef;
using test::FakeObject;
using test::Narrow;

const WCHAR kWarnings[] = TEXT("WarningMessages");
const std::string kEntry = "ENTRY:  CZelWMI::GetPropertyWarningMessages";
const std::string kExit = "EXIT:  CZelWMI::GetPropertyWarningMessages";

// A null `reserved2` leaves the property out.
ComRef<FakeObject> Warning(LONG code, const WCHAR* text, LONG type, LONG action, LONG reserved,
                           const WCHAR* reserved2) {
    ComRef<FakeObject> warning = FakeObject::Make();
    warning->SetInt(TEXT("ErrorCode"), code)
        .SetString(TEXT("MessageText"), text)
        .SetInt(TEXT("MessageType"), type)
        .SetInt(TEXT("MessageAction"), action)
        .SetInt(TEXT("reserved"), reserved);
    if (reserved2 != nullptr) {
        warning->SetString(TEXT("reserved2"), reserved2);
    }
    return warning;
}

// Every field of a record, "code|text|type|action|reserved|reserved2".
std::string Fields(const WarningMessage& m) {
    return std::to_string(m.ErrorCode) + "|" + Narrow(m.MessageText) + "|" +
           std::to_string(m.MessageType) + "|" + std::to_string(m.MessageAction) + "|" +
           std::to_string(m.reserved) + "|" + Narrow(m.reserved2);
}

// The array property as the provider sends it: embedded objects as IUnknown elements.
void SetArray(FakeObject* holder, LONG lower, const std::vector<IUnknown*>& elements) {
    SAFEARRAY* array =
        SafeArrayCreateVector(VT_UNKNOWN, lower, static_cast<ULONG>(elements.size()));
    ASSERT_NE(nullptr, array);
    for (size_t i = 0; i < elements.size(); ++i) {
        LONG index = lower + static_cast<LONG>(i);
        ASSERT_EQ(S_OK, SafeArrayPutElement(array, &index, elements[i]));
    }
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_ARRAY | VT_UNKNOWN;
    V_ARRAY(&value) = array;
    holder->Set(kWarnings, value);
    VariantClear(&value);
}

class ZelWMITest : public test::TraceTest {
protected:
    void SetUp() override {
        TraceTest::SetUp();
        m_before = sim::LeakLedger::Get().Snapshot();
    }
    void TearDown() override { test::ExpectLedgerUnchanged(m_before); }

    static HRESULT Read(FakeObject* holder, std::vector<WarningMessage>& messages) {
        CZelString name(kWarnings);
        return CZelWMI::GetPropertyWarningMessages(holder, name, messages);
    }

    sim::LedgerSnapshot m_before;
};

TEST_F(ZelWMITest, CopiesEveryFieldOfEachWarningInArrayOrderAfterWhatTheListHeld) {
    for (LONG lower : {0, 5}) {
        SCOPED_TRACE(lower);
        MarkTrace();
        ComRef<FakeObject> first =
            Warning(0x1001, TEXT("Team A has one member"), 2, 3, 4, TEXT("first"));
        ComRef<FakeObject> second = Warning(-7, TEXT("VLAN 12 is unused"), 1, 0, 9, TEXT(""));
        ComRef<FakeObject> holder = FakeObject::Make();
        SetArray(holder.Get(), lower, {first.Get(), second.Get()});

        std::vector<WarningMessage> messages(1);
        messages[0].MessageText = TEXT("held before");
        EXPECT_EQ(S_OK, Read(holder.Get(), messages));
        ASSERT_EQ(3u, messages.size());
        EXPECT_EQ("0|held before|0|0|0|", Fields(messages[0]));
        EXPECT_EQ("4097|Team A has one member|2|3|4|first", Fields(messages[1]));
        EXPECT_EQ("-7|VLAN 12 is unused|1|0|9|", Fields(messages[2]));
        EXPECT_EQ((std::vector<std::string>{kEntry, kExit}), NewMessages());
    }
}

TEST_F(ZelWMITest, AMissingValueKeepsItsDefaultAndTheLastElementsLastReadGivesTheStatus) {
    ComRef<FakeObject> nullType = Warning(5, TEXT("null type"), 0, 6, 7, TEXT("r2"));
    nullType->SetNull(TEXT("MessageType")).SetNull(TEXT("MessageText"));
    ComRef<FakeObject> noReserved2 = Warning(8, TEXT("no reserved2"), 1, 1, 1, nullptr);
    ComRef<FakeObject> full = Warning(9, TEXT("full"), 1, 1, 1, TEXT("x"));
    ComRef<FakeObject> denied = Warning(10, TEXT("denied"), 1, 1, 1, TEXT("x"));
    denied->Fail(TEXT("reserved2"), WBEM_E_ACCESS_DENIED).Fail(TEXT("ErrorCode"), WBEM_E_FAILED);
    // Not a class object at all: the element is skipped.
    ComRef<test::FakeContext> stranger = test::FakeContext::Make();

    struct Case {
        const char* name;
        std::vector<IUnknown*> elements;
        HRESULT status;
        std::vector<std::string> records;
    };
    const Case cases[] = {
        {"null fields, a failing read, no reserved2 last",
         {nullType.Get(), denied.Get(), noReserved2.Get()},
         WBEM_E_NOT_FOUND,
         {"5||0|6|7|r2", "0|denied|1|1|1|", "8|no reserved2|1|1|1|"}},
        {"no reserved2 first",
         {noReserved2.Get(), full.Get()},
         S_OK,
         {"8|no reserved2|1|1|1|", "9|full|1|1|1|x"}},
        {"a failing read last",
         {full.Get(), denied.Get()},
         WBEM_E_ACCESS_DENIED,
         {"9|full|1|1|1|x", "0|denied|1|1|1|"}},
        {"not a class object last",
         {full.Get(), stranger.Get()},
         E_NOINTERFACE,
         {"9|full|1|1|1|x"}},
        {"a null element last", {full.Get(), nullptr}, WBEM_E_INVALID_OBJECT, {"9|full|1|1|1|x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComRef<FakeObject> holder = FakeObject::Make();
        SetArray(holder.Get(), 0, c.elements);
        std::vector<WarningMessage> messages;
        EXPECT_EQ(c.status, Read(holder.Get(), messages));
        std::vector<std::string> records;
        for (const WarningMessage& message : messages) {
            records.push_back(Fields(message));
        }
        EXPECT_EQ(c.records, records);
    }
}

TEST_F(ZelWMITest, EndsWithItsLineWhenThereIsNoArrayToRead) {
    struct Case {
        HRESULT status;
        const char* line;
        std::function<void(FakeObject&)> arrange;  // null: no object at all
    };
    const Case cases[] = {
        {E_FAIL, "GetPropertyWarningMessages() -> pIWbemClassObject == NULL", nullptr},
        {WBEM_E_NOT_FOUND, "GetPropertyWarningMessages() - pIWbemClassObject->Get() failed!",
         [](FakeObject&) {}},
        {WBEM_E_ACCESS_DENIED, "GetPropertyWarningMessages() - pIWbemClassObject->Get() failed!",
         [](FakeObject& o) { o.Fail(kWarnings, WBEM_E_ACCESS_DENIED); }},
        {E_FAIL, "GetPropertyWarningMessages -> invalid data returned!!",
         [](FakeObject& o) { o.SetNull(kWarnings); }},
        {E_FAIL, "GetPropertyWarningMessages -> invalid array returned!!",
         [](FakeObject& o) { o.SetInt(kWarnings, 3); }},
        {S_OK, "GetPropertyWarningMessages -> SafeArray is empty!!",
         [](FakeObject& o) { SetArray(&o, 0, {}); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line + std::string(" / ") + std::to_string(c.status));
        ComRef<FakeObject> holder = FakeObject::Make();
        if (c.arrange) {
            c.arrange(*holder.Get());
        }
        MarkTrace();
        std::vector<WarningMessage> messages(2);
        EXPECT_EQ(c.status, Read(c.arrange ? holder.Get() : nullptr, messages));
        EXPECT_EQ(2u, messages.size());
        EXPECT_EQ((std::vector<std::string>{kEntry, c.line, kExit}), NewMessages());
    }
}

TEST_F(ZelWMITest, GetPropertyAsStringGivesTheTextOrSaysWhetherTheValueWasNull) {
    const WCHAR kPath[] = TEXT("\\\\HOST\\root\\orvexzel2:Qubra_NetService.Name=\"A\"");
    ComRef<FakeObject> object = FakeObject::Make();
    object->SetString(TEXT("__PATH"), kPath)
        .SetNull(TEXT("Caption"))
        .SetInt(TEXT("Count"), 4)
        .Fail(TEXT("Denied"), WBEM_E_ACCESS_DENIED);
    struct Case {
        const WCHAR* property;
        bool noObject;
        HRESULT status;
        std::string value;
        bool isNull;
    };
    const Case cases[] = {
        {TEXT("__PATH"), false, S_OK, Narrow(kPath), false},
        {TEXT("__path"), false, S_OK, Narrow(kPath), false},
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
        std::vector<std::string> expected = {"ENTRY:  CZelWMI::GetPropertyAsString"};
        if (c.noObject) {
            expected.push_back("GetPropertyAsString -> pInstance == NULL");
        }
        expected.push_back("EXIT:  CZelWMI::GetPropertyAsString");
        EXPECT_EQ(expected, NewMessages());
    }
}

}  // namespace
