#include "Support/TraceTest.h"

#include "Support/TraceFiles.h"
#include "ZelDebug.h"

#include <stdio.h>

#include <algorithm>
#include <fstream>

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
    SetString(kZel2Key, TEXT("InstalledDir"), TempDirectory().c_str());
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

std::vector<std::string> TraceTest::ThreadMessages(bool others) const {
    char self[16];
    snprintf(self, sizeof self, "\tTID:%x\t", static_cast<unsigned>(GetCurrentThreadId()));
    std::vector<std::string> messages;
    for (const std::string& line : NewLines(kWithoutScopes | kWithoutRegistry)) {
        if ((line.find(self) == std::string::npos) == others) {
            messages.push_back(MessageOf(line));
        }
    }
    return messages;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

std::vector<std::string> Expected(const char* source, const std::string& name) {
    std::string path(source);
    std::ifstream file(path.replace(path.rfind('.'), std::string::npos, ".txt"));
    std::vector<std::string> lines;
    bool found = false;
    for (std::string line; std::getline(file, line);) {
        if (line.compare(0, 3, "== ") == 0) {
            if (found) {
                break;
            }
            found = line.substr(3) == name;
        } else if (found) {
            lines.push_back(line);
        }
    }
    EXPECT_TRUE(found) << "no lines for \"" << name << "\" in " << path;
    return lines;
}

}  // namespace test
