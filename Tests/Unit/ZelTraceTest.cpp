// The process's trace object as the support library writes to it: scopes, tiers, DebugTrace
// and the bounded copies' reports.
#include "ZelDebug.h"
#include "ZelSecure.h"
#include "ZelString.h"

#include "Support/TraceFiles.h"
#include "Support/TraceTest.h"

namespace {

// MinGW's _set_invalid_parameter_handler keeps the handler in MinGW's own runtime code, which
// msvcrt.dll's bounded functions never consult (on Windows as under Wine): there the handler's
// line is missing, while the Microsoft runtime and ours call it before returning the error.
bool HandlerIsMinGWs() {
#ifdef __MINGW32__
    return true;
#else
    return false;
#endif
}

class ZelTraceTest : public test::TraceTest {
protected:
    // The lines written since the test began, as "tier|message".
    std::vector<std::string> TieredLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : NewLines()) {
            lines.push_back(std::to_string(test::TierOf(line)) + "|" + test::MessageOf(line));
        }
        return lines;
    }
};

bool Inner(bool result) {
    bool bReturn = false;
    CZelTraceScope scope(TEXT("Inner"), &bReturn);
    DebugTrace(TEXT("inside %s"), TEXT("Inner"));
    bReturn = result;
    return bReturn;
}

int Outer() {
    int nReturn = 0;
    CZelTraceScope scope(TEXT("Outer"), &nReturn);
    Inner(false);
    nReturn = -7;
    return nReturn;
}

TEST_F(ZelTraceTest, ScopesShowTheirDepthOnBothLines) {
    DebugTrace(TEXT("before"));
    Outer();
    {
        CZelTraceScope plain(TEXT("Plain"));
        CZelTraceScope nullResult(TEXT("NullResult"), static_cast<bool*>(NULL));
    }
    EXPECT_EQ(std::vector<std::string>(
                  {"0|before", "1|ENTRY:  Outer", "2|ENTRY:  Inner", "2|inside Inner",
                   "2|EXIT:  Inner, bReturn=false", "1|EXIT:  Outer, nReturn=-7", "1|ENTRY:  Plain",
                   "2|ENTRY:  NullResult", "2|EXIT:  NullResult", "1|EXIT:  Plain"}),
              TieredLines());
}

TEST_F(ZelTraceTest, DebugTraceWritesExpandedPercentSignsLiterally) {
    DebugTrace(TEXT("name=%s"), TEXT("50%s %d"));
    std::basic_string<WCHAR> text(1500, TEXT('d'));
    DebugTrace(TEXT("%s"), text.c_str());
    std::vector<std::string> lines = TieredLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("0|name=50%s %d", lines[0]);
    EXPECT_EQ("0|" + std::string(1023, 'd'), lines[1]);
}

TEST_F(ZelTraceTest, InvalidArgumentsOfTheGeneralForms) {
    WCHAR buffer[8];
    EXPECT_EQ(22, ZelSafeCopy(TEXT("Src\\Caller"), 30, NULL, 8, TEXT("x")));
    EXPECT_EQ(22, ZelSafeCopy(TEXT("Src\\Caller"), 31, buffer, 8, NULL));
    EXPECT_EQ(22, ZelSafeCat(TEXT("Src\\Caller"), 32, buffer, 8, NULL));
    EXPECT_EQ(34, ZelSafeCopy(TEXT("Src\\Caller"), 33, buffer, 8, TEXT("12345678")));
    EXPECT_EQ(0, ZelSafeCopy(TEXT("Src\\Caller"), 34, buffer, 8, TEXT("1234567")));
    std::vector<std::string> lines = TieredLines();
    if (HandlerIsMinGWs()) {
        // Put back the handler's lines where the Microsoft runtime writes them.
        for (size_t i = 0; i < lines.size(); i += 2) {
            lines.insert(lines.begin() + i, "0|ZelSecureInvalidParameterHandler : ERROR");
        }
    }
    EXPECT_EQ(std::vector<std::string>({
                  "0|ZelSecureInvalidParameterHandler : ERROR",
                  "0|..\\Common\\Src\\ZelSecure (189): ZelSafeCopy ERROR: NULL == strDestination",
                  "0|ZelSecureInvalidParameterHandler : ERROR",
                  "0|Src\\Caller (31): ZelSafeCopy ERROR: NULL == strSource",
                  "0|ZelSecureInvalidParameterHandler : ERROR",
                  "0|Src\\Caller (32): ZelSafeCopy ERROR: NULL == strSource",
                  "0|ZelSecureInvalidParameterHandler : ERROR",
                  "0|Src\\Caller (33): ZelSafeCopy ERROR: strDestination size 0, or too small",
              }),
              lines);
}

}  // namespace
