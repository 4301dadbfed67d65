// CZelWMI on WMI doubles: the provider's warning array read into records (fields, defaults, the
// status of the last read, the early ends with their lines) and a string property read; every
// object, string and array the reads touch is released.
#include "ZelWMI.h"

#include "Machine/ComRuntime.h"
#include "Support/FakeWbem.h"
#include "Support/TraceTest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test::ComRef;
using test::FakeObject;

const WCHAR kWarnings[] = TEXT("WarningMessages");

struct Fields {
    LONG code;
    const WCHAR* text;
    LONG type;
    LONG action;
    LONG reserved;
    const WCHAR* reserved2;  // null: the object lacks the property
};

ComRef<FakeObject> Warning(const Fields& fields) {
    ComRef<FakeObject> warning = FakeObject::Make();
    warning->SetInt(TEXT("ErrorCode"), fields.code)
        .SetString(TEXT("MessageText"), fields.text)
        .SetInt(TEXT("MessageType"), fields.type)
        .SetInt(TEXT("MessageAction"), fields.action)
        .SetInt(TEXT("reserved"), fields.reserved);
    if (fields.reserved2 != nullptr) {
        warning->SetString(TEXT("reserved2"), fields.reserved2);
    }
    return warning;
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

std::string Narrow(const std::basic_string<WCHAR>& text) {
    return std::string(text.begin(), text.end());
}

class ZelWMITest : public test::TraceTest {
protected:
    void SetUp() override {
        TraceTest::SetUp();
        m_before = sim::LeakLedger::Get().Snapshot();
    }
    void TearDown() override {
        sim::LedgerSnapshot after = sim::LeakLedger::Get().Snapshot();
        EXPECT_EQ(m_before.objects, after.objects);
        EXPECT_EQ(m_before.strings, after.strings);
        EXPECT_EQ(m_before.arrays, after.arrays);
        EXPECT_EQ(m_before.badFrees, after.badFrees);
    }

    static HRESULT Read(FakeObject* holder, std::vector<WarningMessage>& messages) {
        CZelString name(kWarnings);
        return CZelWMI::GetPropertyWarningMessages(holder, name, messages);
    }

    sim::LedgerSnapshot m_before;
};

const std::string kEntry = "ENTRY:  CZelWMI::GetPropertyWarningMessages";
const std::string kExit = "EXIT:  CZelWMI::GetPropertyWarningMessages";

TEST_F(ZelWMITest, CopiesEveryFieldOfEachWarningInArrayOrderAfterWhatTheListHeld) {
    for (LONG lower : {0, 5}) {
        SCOPED_TRACE(lower);
        MarkTrace();
        ComRef<FakeObject> first =
            Warning({0x1001, TEXT("Team A has one member"), 2, 3, 4, TEXT("first")});
        ComRef<FakeObject> second = Warning({-7, TEXT("VLAN 12 is unused"), 1, 0, 9, TEXT("")});
        ComRef<FakeObject> holder = FakeObject::Make();
        SetArray(holder.Get(), lower, {first.Get(), second.Get()});

        std::vector<WarningMessage> messages(1);
        messages[0].MessageText = TEXT("held before");
        EXPECT_EQ(S_OK, Read(holder.Get(), messages));
        ASSERT_EQ(3u, messages.size());
        EXPECT_EQ("held before", Narrow(messages[0].MessageText));
        const WarningMessage& a = messages[1];
        EXPECT_EQ(0x1001, a.ErrorCode);
        EXPECT_EQ("Team A has one member", Narrow(a.MessageText));
        EXPECT_EQ(2, a.MessageType);
        EXPECT_EQ(3, a.MessageAction);
        EXPECT_EQ(4, a.reserved);
        EXPECT_EQ("first", Narrow(a.reserved2));
        const WarningMessage& b = messages[2];
        EXPECT_EQ(-7, b.ErrorCode);
        EXPECT_EQ("VLAN 12 is unused", Narrow(b.MessageText));
        EXPECT_EQ(1, b.MessageType);
        EXPECT_EQ(0, b.MessageAction);
        EXPECT_EQ(9, b.reserved);
        EXPECT_TRUE(b.reserved2.empty());
        EXPECT_TRUE(b.Strings1.empty() && b.Strings2.empty());
        EXPECT_EQ((std::vector<std::string>{kEntry, kExit}), NewMessages());
    }
}

TEST_F(ZelWMITest, AMissingValueKeepsItsDefaultAndTheLastElementsLastReadGivesTheStatus) {
    ComRef<FakeObject> nullType = Warning({5, TEXT("null type"), 0, 6, 7, TEXT("r2")});
    nullType->SetNull(TEXT("MessageType")).SetNull(TEXT("MessageText"));
    ComRef<FakeObject> noReserved2 = Warning({8, TEXT("no reserved2"), 1, 1, 1, nullptr});
    ComRef<FakeObject> full = Warning({9, TEXT("full"), 1, 1, 1, TEXT("x")});
    ComRef<FakeObject> denied = Warning({10, TEXT("denied"), 1, 1, 1, TEXT("x")});
    denied->Fail(TEXT("reserved2"), WBEM_E_ACCESS_DENIED);
    denied->Fail(TEXT("ErrorCode"), WBEM_E_FAILED);
    // Not a class object at all: the element is skipped.
    ComRef<test::FakeContext> stranger = test::FakeContext::Make();

    struct Case {
        const char* name;
        std::vector<IUnknown*> elements;
        HRESULT status;
        size_t records;
    };
    const Case cases[] = {
        {"null fields, then no reserved2 last",
         {nullType.Get(), noReserved2.Get()},
         WBEM_E_NOT_FOUND,
         2},
        {"no reserved2 first", {noReserved2.Get(), full.Get()}, S_OK, 2},
        {"a failing read last", {full.Get(), denied.Get()}, WBEM_E_ACCESS_DENIED, 2},
        {"a failing read first", {denied.Get(), full.Get()}, S_OK, 2},
        {"not a class object last", {full.Get(), stranger.Get()}, E_NOINTERFACE, 1},
        {"a null element last", {full.Get(), nullptr}, WBEM_E_INVALID_OBJECT, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComRef<FakeObject> holder = FakeObject::Make();
        SetArray(holder.Get(), 0, c.elements);
        std::vector<WarningMessage> messages;
        EXPECT_EQ(c.status, Read(holder.Get(), messages));
        EXPECT_EQ(c.records, messages.size());
    }

    ComRef<FakeObject> holder = FakeObject::Make();
    SetArray(holder.Get(), 0, {nullType.Get(), noReserved2.Get(), denied.Get()});
    std::vector<WarningMessage> messages;
    EXPECT_EQ(WBEM_E_ACCESS_DENIED, Read(holder.Get(), messages));
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ(5, messages[0].ErrorCode);
    EXPECT_EQ(0, messages[0].MessageType);
    EXPECT_TRUE(messages[0].MessageText.empty());
    EXPECT_EQ(6, messages[0].MessageAction);
    EXPECT_EQ("r2", Narrow(messages[0].reserved2));
    EXPECT_EQ("no reserved2", Narrow(messages[1].MessageText));
    EXPECT_TRUE(messages[1].reserved2.empty());
    EXPECT_EQ(0, messages[2].ErrorCode);
    EXPECT_EQ("denied", Narrow(messages[2].MessageText));
    EXPECT_TRUE(messages[2].reserved2.empty());
}

TEST_F(ZelWMITest, EndsWithItsLineWhenThereIsNoArrayToRead) {
    enum Value { kNoObject, kMissing, kDenied, kNull, kNumber, kEmptyArray };
    struct Case {
        Value value;
        HRESULT status;
        const char* line;
    };
    const Case cases[] = {
        {kNoObject, E_FAIL, "GetPropertyWarningMessages() -> pIWbemClassObject == NULL"},
        {kMissing, WBEM_E_NOT_FOUND,
         "GetPropertyWarningMessages() - pIWbemClassObject->Get() failed!"},
        {kDenied, WBEM_E_ACCESS_DENIED,
         "GetPropertyWarningMessages() - pIWbemClassObject->Get() failed!"},
        {kNull, E_FAIL, "GetPropertyWarningMessages -> invalid data returned!!"},
        {kNumber, E_FAIL, "GetPropertyWarningMessages -> invalid array returned!!"},
        {kEmptyArray, S_OK, "GetPropertyWarningMessages -> SafeArray is empty!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line + std::string(" / ") + std::to_string(c.value));
        ComRef<FakeObject> holder = FakeObject::Make();
        switch (c.value) {
            case kDenied:
                holder->Fail(kWarnings, WBEM_E_ACCESS_DENIED);
                break;
            case kNull:
                holder->SetNull(kWarnings);
                break;
            case kNumber:
                holder->SetInt(kWarnings, 3);
                break;
            case kEmptyArray:
                SetArray(holder.Get(), 0, {});
                break;
            default:
                break;
        }
        MarkTrace();
        std::vector<WarningMessage> messages(2);
        EXPECT_EQ(c.status, Read(c.value == kNoObject ? nullptr : holder.Get(), messages));
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
