// The trace: the file's lines and their header, levels and the registry's override, refused
// configurations, the size limit, long messages; and the process's trace object as the support
// library writes to it: scopes, tiers, DebugTrace and the bounded copies' reports.
#include "ZelDebug.h"
#include "ZelSecure.h"
#include "ZelString.h"

#include "Support/TraceFiles.h"
#include "Support/TraceTest.h"

#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <regex>

namespace {

using test::MessageOf;
using test::ReadLines;
using test::TempPath;

// The trace file is found through the ZEL2 key's "InstalledDir"; these tests point it at Temp.
class ZelDebugTest : public testing::Test {
protected:
    void SetUp() override {
        test::SetString(test::kZel2Key, TEXT("InstalledDir"), test::TempDirectory().c_str());
        test::SetString(test::kZel2Key, TEXT("TRACE"), nullptr);
    }
};

// A line's message, once its header is found whole: module, process, thread, time of day, tick
// count and tier.
std::string CheckedMessage(const std::string& line) {
    static const std::regex header(
        "TALM\tPID:[0-9a-f]+\tTID:[0-9a-f]+\t[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}\t"
        "\\([0-9A-F]+\\)\tTIER 0\t\t(.*)");
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, header)) << line;
    return match.size() > 1 ? match[1].str() : line;
}

TEST_F(ZelDebugTest, LevelsAndTheRegistryOverride) {
    struct Case {
        DWORD argument;
        int registry;  // -1: no "TRACE" value
        int configure;
        size_t lines;  // the last of the two: both, the error line only, or none
    } cases[] = {
        {1, -1, 0, 2}, {1, 2, 0, 1}, {2, 1, 0, 2}, {1, 0, -1, 0}, {2, 3, 0, 2},
        {3, 0, 0, 2},  {4, 2, 0, 2}, {5, 0, 0, 2}, {2, -1, 0, 1},
    };
    const std::vector<std::string> kBoth = {"printed 2", "Src\\X (1): error x!"};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << "level " << c.argument << ", TRACE " << c.registry);
        DWORD registry = static_cast<DWORD>(c.registry);
        test::SetRaw(test::kZel2Key, TEXT("TRACE"), REG_DWORD, c.registry < 0 ? NULL : &registry,
                     sizeof registry);
        WCHAR name[32];
        swprintf_s(name, 32, TEXT("zel-level-%u.txt"), static_cast<unsigned>(i));
        CZelDebug trace;
        EXPECT_EQ(c.configure, trace.Configure(TEXT("TALM"), name, c.argument, 0, 0));
        trace.Print(TEXT("printed %d"), 2);
        trace.Error(TEXT("Src\\X"), 1, TEXT("error %s!"), TEXT("x"));
        std::vector<std::string> messages;
        for (const std::string& line : ReadLines(TempPath(name))) {
            messages.push_back(CheckedMessage(line));
        }
        EXPECT_EQ(std::vector<std::string>(kBoth.end() - c.lines, kBoth.end()), messages);
        if (c.configure == 0) {
            // An error line leaves the level as it was, also at the errors-only level.
            DWORD level =
                c.registry >= 0 && c.argument <= 2 ? static_cast<DWORD>(c.registry) : c.argument;
            EXPECT_EQ(level, trace.GetCurrentLogLevel());
        }
    }
}

TEST_F(ZelDebugTest, RefusedConfigurations) {
    CZelDebug off;
    EXPECT_EQ(-1, off.Configure(TEXT("TALM"), TEXT("zel-off.txt"), 0, 0, 0));
    EXPECT_EQ(0u, off.GetCurrentLogLevel());
    EXPECT_FALSE(off.IsConfigured());
    EXPECT_FALSE(test::FileExists(TempPath(TEXT("zel-off.txt"))));

    CZelDebug bad;
    EXPECT_EQ(-1, bad.Configure(TEXT("TALM"), TEXT(""), 3, 0, 0));
    EXPECT_EQ(-1, bad.Configure(TEXT("TALM"), NULL, 3, 0, 0));
    EXPECT_EQ(-1, bad.Configure(NULL, TEXT("zel-null.txt"), 3, 0, 0));
    std::basic_string<WCHAR> tooLong(246, TEXT('n'));
    EXPECT_EQ(-1, bad.Configure(TEXT("TALM"), tooLong.c_str(), 3, 0, 0));
    EXPECT_FALSE(bad.IsConfigured());
    bad.Print(TEXT("dropped"));
    bad.Error(TEXT("Src\\X"), 1, TEXT("dropped"));

    // Without the ZEL2 key levels 1 and 2 give up before touching a file; 3 does not ask.
    test::DeleteKey(test::kZel2Key);
    CZelDebug noKey;
    EXPECT_EQ(-1, noKey.Configure(TEXT("TALM"), TEXT("zel-nokey.txt"), 1, 0, 0));
    EXPECT_EQ(-1, noKey.Configure(TEXT("TALM"), TEXT("zel-nokey.txt"), 2, 0, 0));
    EXPECT_FALSE(test::FileExists(TempPath(TEXT("zel-nokey.txt"))));
    EXPECT_EQ(0u, noKey.GetCurrentLogLevel());
}

TEST_F(ZelDebugTest, AppendOrEmptyAndTheSizeLimit) {
    std::basic_string<WCHAR> path = TempPath(TEXT("zel-size.txt"));
    FILE* file = _wfopen(path.c_str(), TEXT("wb"));
    ASSERT_NE(nullptr, file);
    fwrite(std::string(1000, 'x').data(), 1, 1000, file);
    fclose(file);
    {
        CZelDebug limited;
        ASSERT_EQ(0, limited.Configure(TEXT("TALM"), TEXT("zel-size.txt"), 3, 1, 1000));
        limited.Print(TEXT("never written"));
        limited.Error(TEXT("Src\\X"), 1, TEXT("never written"));
    }
    EXPECT_EQ(std::string(1000, 'x'), test::ReadBytes(path));
    {
        CZelDebug appending;
        ASSERT_EQ(0, appending.Configure(TEXT("TALM"), TEXT("zel-size.txt"), 3, 1, 1200));
        appending.Print(TEXT("first"));  // 1000 bytes before it: written
        for (int i = 0; i < 20; ++i) {
            appending.Print(TEXT("more %d"), i);  // the limit is reached after a few
        }
    }
    std::string bytes = test::ReadBytes(path);
    EXPECT_EQ(std::string(1000, 'x'), bytes.substr(0, 1000));
    std::vector<std::string> lines = ReadLines(path, 1000);
    ASSERT_LT(1u, lines.size());
    EXPECT_EQ("first", MessageOf(lines[0]));
    EXPECT_GE(bytes.size(), 1200u);
    EXPECT_LT(bytes.size() - lines.back().size() - 2, 1200u);  // the last line began below it

    CZelDebug emptying;
    ASSERT_EQ(0, emptying.Configure(TEXT("TALM"), TEXT("zel-size.txt"), 3, 0, 0));
    emptying.Print(TEXT("alone"));
    lines = ReadLines(path);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("alone", MessageOf(lines[0]));
}

TEST_F(ZelDebugTest, LongMessagesAreCut) {
    CZelDebug trace;
    ASSERT_EQ(0, trace.Configure(TEXT("TALM"), TEXT("zel-long.txt"), 3, 0, 0));
    // A plain line is cut at 1023 as CopiedLinesAreTheFormattedOnes shows.
    std::basic_string<WCHAR> text(2000, TEXT('m'));
    trace.Error(TEXT("Src\\X"), 9, TEXT("%s"), text.c_str());
    std::basic_string<WCHAR> longModule(1000, TEXT('M'));
    CZelDebug wide;
    ASSERT_EQ(0, wide.Configure(longModule.c_str(), TEXT("zel-long2.txt"), 3, 0, 0));
    wide.Print(TEXT("%s"), text.c_str());
    std::basic_string<WCHAR> tooLongModule(1200, TEXT('M'));
    CZelDebug tooWide;
    ASSERT_EQ(0, tooWide.Configure(tooLongModule.c_str(), TEXT("zel-long3.txt"), 3, 0, 0));
    tooWide.Print(TEXT("a header that does not fit drops the line"));

    std::vector<std::string> lines = ReadLines(TempPath(TEXT("zel-long.txt")));
    ASSERT_EQ(1u, lines.size());
    // The error text is cut to 1023 first, then the whole message again to 1023.
    EXPECT_EQ("Src\\X (9): " + std::string(1023 - 11, 'm'), MessageOf(lines[0]));
    lines = ReadLines(TempPath(TEXT("zel-long2.txt")));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1150u, lines[0].size());  // never more than 1150 before the line feed
    EXPECT_EQ("", test::ReadBytes(TempPath(TEXT("zel-long3.txt"))));
}

// MinGW's _set_invalid_parameter_handler keeps the handler in MinGW's own runtime code, which
// msvcrt.dll's bounded functions never consult (on Windows as under Wine): there the handler's
// line is missing, while the Microsoft runtime and ours call it before returning the error.
#ifdef __MINGW32__
const bool kHandlerIsMinGWs = true;
#else
const bool kHandlerIsMinGWs = false;
#endif

class ZelTraceTest : public test::TraceTest {
protected:
    // The lines written since the test began, as "tier|message".
    std::vector<std::string> TieredLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : NewLines()) {
            int tier = atoi(line.c_str() + line.find("\tTIER ") + 6);
            lines.push_back(std::to_string(tier) + "|" + test::MessageOf(line));
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
    // Outside any scope: the expanded text written literally.
    DebugTrace(TEXT("name=%s"), TEXT("50%s %d"));
    Outer();
    {
        CZelTraceScope plain(TEXT("Plain"));
        CZelTraceScope nullResult(TEXT("NullResult"), static_cast<bool*>(NULL));
    }
    EXPECT_EQ(std::vector<std::string>(
                  {"0|name=50%s %d", "1|ENTRY:  Outer", "2|ENTRY:  Inner", "2|inside Inner",
                   "2|EXIT:  Inner, bReturn=false", "1|EXIT:  Outer, nReturn=-7", "1|ENTRY:  Plain",
                   "2|ENTRY:  NullResult", "2|EXIT:  NullResult", "1|EXIT:  Plain"}),
              TieredLines());
}

// Messages without a conversion are copied, not formatted, and ASCII lines are narrowed eight
// units at a time: both must give the engine's bytes at every length and alignment, up to the cut
// and with line feeds (which the file has as "\r\n").
TEST_F(ZelTraceTest, CopiedLinesAreTheFormattedOnes) {
    std::mt19937 random(20261207);
    const char kUnits[] = "az AZ09~\x7f\n";
    for (int i = 0; i < 300; ++i) {
        std::string text(random() % 1100, ' ');
        for (char& c : text) {
            c = kUnits[random() % (sizeof kUnits - 1)];
        }
        std::basic_string<WCHAR> wide(text.begin(), text.end());
        std::string written[2];
        for (int formatted = 0; formatted < 2; ++formatted) {
            MarkTrace();
            formatted ? g_ZelDebug.Print(TEXT("%s"), wide.c_str()) : DebugTrace(wide.c_str());
            std::vector<std::string> lines = NewLines();
            for (size_t k = 0; k < lines.size(); ++k) {
                written[formatted] += k == 0 ? MessageOf(lines[0]) : "\n" + lines[k];
            }
        }
        ASSERT_EQ(text.substr(0, 1023), written[0]) << "copied, length " << text.size();
        ASSERT_EQ(written[0], written[1]) << "formatted, length " << text.size();
    }
}

TEST_F(ZelTraceTest, InvalidArgumentsOfTheGeneralForms) {
    WCHAR buffer[8];
    EXPECT_EQ(22, ZelSafeCopy(TEXT("Src\\Caller"), 30, NULL, 8, TEXT("x")));
    EXPECT_EQ(22, ZelSafeCopy(TEXT("Src\\Caller"), 31, buffer, 8, NULL));
    EXPECT_EQ(22, ZelSafeCat(TEXT("Src\\Caller"), 32, buffer, 8, NULL));
    EXPECT_EQ(34, ZelSafeCopy(TEXT("Src\\Caller"), 33, buffer, 8, TEXT("12345678")));
    EXPECT_EQ(0, ZelSafeCopy(TEXT("Src\\Caller"), 34, buffer, 8, TEXT("1234567")));
    std::vector<std::string> lines = TieredLines();
    if (kHandlerIsMinGWs) {
        // Put back the handler's lines where the Microsoft runtime writes them.
        for (size_t i = 0; i < lines.size(); i += 2) {
            lines.insert(lines.begin() + i, "0|ZelSecureInvalidParameterHandler : ERROR");
        }
    }
    EXPECT_EQ(std::vector<std::string>(
                  {"0|ZelSecureInvalidParameterHandler : ERROR",
                   "0|..\\Common\\Src\\ZelSecure (189): ZelSafeCopy ERROR: NULL == strDestination",
                   "0|ZelSecureInvalidParameterHandler : ERROR",
                   "0|Src\\Caller (31): ZelSafeCopy ERROR: NULL == strSource",
                   "0|ZelSecureInvalidParameterHandler : ERROR",
                   "0|Src\\Caller (32): ZelSafeCopy ERROR: NULL == strSource",
                   "0|ZelSecureInvalidParameterHandler : ERROR",
                   "0|Src\\Caller (33): ZelSafeCopy ERROR: strDestination size 0, or too small"}),
              lines);
}

}  // namespace
