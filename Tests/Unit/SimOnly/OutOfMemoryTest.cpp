// The shared code when an allocation fails, each allocation of an operation failing in turn: the
// operation's own failure result (or std::bad_alloc from a string it builds), never a crash or a
// result that is neither.
#include "ZelRegKey.h"
#include "ZelString.h"

#include "Support/FailingAllocation.h"
#include "Support/MachineTest.h"

#include <functional>
#include <set>

namespace {

using test::kThrewBadAlloc;

class OutOfMemory : public test::MachineTest {
protected:
    static void SetUpTestSuite() { OpenMachine("{}"); }
};

TEST_F(OutOfMemory, EachOperationGivesItsFailureResult) {
    CZelRegKey key;
    ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Lists"), true, false));
    const CZelString kBefore(TEXT("before"));
    struct Case {
        const char* name;
        std::function<long()> operation;
        std::set<long> outcomes;  // the greatest is the one without a failure
    };
    const Case cases[] = {
        // 0 and the string unchanged, or the text's length.
        {"FormatString",
         [&] {
             CZelString text(kBefore);
             int n = text.FormatString(TEXT("%d-%s"), 5, TEXT("x"));
             return n == 0 && text == kBefore ? 0L : n == 3 && text == TEXT("5-x") ? 3L : -1L;
         },
         {0, 3}},
        // 0 and no buffer, or the length with its terminator.
        {"ZelMultiByteToWideChar_alloc",
         [] {
             LPWSTR pszText = NULL;
             long n = CZelString::ZelMultiByteToWideChar_alloc(CP_ACP, 0, "abc", pszText);
             long outcome = pszText == NULL ? (n == 0 ? 0 : -1) : n;
             CZelString::ZelMultiByteToWideChar_dealloc(pszText);
             return outcome;
         },
         {0, 4}},
        {"ZelWideCharToMultiByte_alloc",
         [] {
             LPSTR pszText = NULL;
             long n = CZelString::ZelWideCharToMultiByte_alloc(CP_ACP, 0, TEXT("abc"), pszText,
                                                               NULL, NULL);
             long outcome = pszText == NULL ? (n == 0 ? 0 : -1) : n;
             CZelString::ZelWideCharToMultiByte_dealloc(pszText);
             return outcome;
         },
         {0, 4}},
        {"Copy",
         [&] {
             CZelString* pCopy = kBefore.Copy();
             long outcome = pCopy == NULL ? 0 : *pCopy == kBefore ? 1 : -1;
             delete pCopy;
             return outcome;
         },
         {0, 1}},
        // std::bad_alloc: from the list built for the call, or from the machine's registry call,
        // which lets it through where Windows would return ERROR_NOT_ENOUGH_MEMORY.
        {"SetValue of a list",
         [&] {
             return key.SetValue(TEXT("List"), {TEXT("a"), TEXT("b")}) ? 1L : 0L;
         },
         {kThrewBadAlloc, 0, 1}},
        {"GetValue of a list",
         [&] {
             std::vector<CZelString> list;
             return key.GetValue(TEXT("List"), list) ? static_cast<long>(list.size()) : 0L;
         },
         {kThrewBadAlloc, 0, 2}},
    };
    MarkTrace();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<long> outcomes = test::OutcomesWithEachAllocationFailing(c.operation);
        EXPECT_EQ(*c.outcomes.rbegin(), outcomes.back());
        EXPECT_EQ(c.outcomes, std::set<long>(outcomes.begin(), outcomes.end()));
    }
    EXPECT_EQ(1u,
              test::Count(NewMessages(),
                          "..\\Common\\Src\\ZelRegKey (234): ERROR:  Unable to allocate memory"));
}

}  // namespace
