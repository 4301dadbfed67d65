#include "ZelDebug.h"

#include "Support/TraceFiles.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using test::MessageOf;
using test::ReadLines;
using test::TempPath;

// The trace file is found through the ZEL2 key's "InstalledDir"; these tests point it at Temp.
class ZelDebugTest : public testing::Test {
protected:
    void SetUp() override {
        m_zel2.SetInstalledDir(test::TempDirectory());
        m_zel2.Remove(TEXT("TRACE"));
    }

    test::Zel2Key m_zel2;
};

TEST_F(ZelDebugTest, LinesCarryTheFixedHeader) {
    CZelDebug trace;
    ASSERT_EQ(0, trace.Configure(TEXT("TALM"), TEXT("zel-format.txt"), 3, 0, 0));
    trace.Print(TEXT("Entering %s - dwCurrentState=%d"), TEXT("ReportStatus"), 2);
    trace.Error(TEXT("Src\\HyperVMonitor"), 417, TEXT("ERROR:  Unable to %s!"), TEXT("connect"));

    std::regex header(
        "TALM\tPID:[0-9a-f]+\tTID:[0-9a-f]+\t[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}\t"
        "\\([0-9A-F]+\\)\tTIER 0\t\t(.*)");
    std::vector<std::string> messages;
    for (const std::string& line : ReadLines(TempPath(TEXT("zel-format.txt")))) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, header)) << line;
        messages.push_back(match.size() > 1 ? match[1].str() : line);
    }
    EXPECT_EQ(std::vector<std::string>({"Entering ReportStatus - dwCurrentState=2",
                                        "Src\\HyperVMonitor (417): ERROR:  Unable to connect!"}),
              messages);
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
    const std::vector<std::string> kBoth = {"printed", "Src\\X (1): error"};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << "level " << c.argument << ", TRACE " << c.registry);
        if (c.registry < 0) {
            m_zel2.Remove(TEXT("TRACE"));
        } else {
            m_zel2.SetTrace(static_cast<DWORD>(c.registry));
        }
        WCHAR name[32];
        swprintf_s(name, 32, TEXT("zel-level-%u.txt"), static_cast<unsigned>(i));
        CZelDebug trace;
        EXPECT_EQ(c.configure, trace.Configure(TEXT("TALM"), name, c.argument, 0, 0));
        trace.Print(TEXT("printed"));
        trace.Error(TEXT("Src\\X"), 1, TEXT("error"));
        std::vector<std::string> messages;
        for (const std::string& line : ReadLines(TempPath(name))) {
            messages.push_back(MessageOf(line));
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
    test::Zel2Key::DeleteKey();
    CZelDebug noKey;
    EXPECT_EQ(-1, noKey.Configure(TEXT("TALM"), TEXT("zel-nokey.txt"), 1, 0, 0));
    EXPECT_EQ(-1, noKey.Configure(TEXT("TALM"), TEXT("zel-nokey.txt"), 2, 0, 0));
    EXPECT_FALSE(test::FileExists(TempPath(TEXT("zel-nokey.txt"))));
    EXPECT_EQ(0u, noKey.GetCurrentLogLevel());
}

TEST_F(ZelDebugTest, AppendOrEmptyAndTheSizeLimit) {
    std::basic_string<WCHAR> path = TempPath(TEXT("zel-size.txt"));
    test::WriteBytes(path, std::string(1000, 'x'));
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
    std::basic_string<WCHAR> text(2000, TEXT('m'));
    trace.Print(TEXT("%s"), text.c_str());
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
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::string(1023, 'm'), MessageOf(lines[0]));
    // The error text is cut to 1023 first, then the whole message again to 1023.
    EXPECT_EQ("Src\\X (9): " + std::string(1023 - 11, 'm'), MessageOf(lines[1]));
    lines = ReadLines(TempPath(TEXT("zel-long2.txt")));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1150u, lines[0].size());  // never more than 1150 before the line feed
    EXPECT_EQ("", test::ReadBytes(TempPath(TEXT("zel-long3.txt"))));
}

}  // namespace
