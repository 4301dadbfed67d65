#include "Support/TraceTest.h"

#include "Support/TraceFiles.h"
#include "ZelDebug.h"

namespace test {

namespace {

const WCHAR kTraceFile[] = TEXT("unit-trace.txt");

bool LeftOut(const std::string& message, unsigned without) {
    if ((without & TraceTest::kWithoutScopes) != 0 &&
        (message.compare(0, 6, "ENTRY:") == 0 || message.compare(0, 5, "EXIT:") == 0)) {
        return true;
    }
    return (without & TraceTest::kWithoutRegistry) != 0 &&
           message.find("CZelRegKey::") != std::string::npos;
}

}  // namespace

void TraceTest::SetUpTestSuite() {
    Zel2Key zel2;
    zel2.SetInstalledDir(TempDirectory());
    ASSERT_EQ(0, g_ZelDebug.Configure(TEXT("TALM"), kTraceFile, 3, 0, 0));
}

void TraceTest::MarkTrace() {
    m_start = ReadBytes(TempPath(kTraceFile)).size();
}

std::vector<std::string> TraceTest::NewLines(unsigned without) const {
    std::vector<std::string> lines;
    for (const std::string& line : ReadLines(TempPath(kTraceFile), m_start)) {
        if (!LeftOut(MessageOf(line), without)) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> TraceTest::NewMessages(unsigned without) const {
    std::vector<std::string> messages;
    for (const std::string& line : NewLines(without)) {
        messages.push_back(MessageOf(line));
    }
    return messages;
}

}  // namespace test
