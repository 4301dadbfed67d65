// A fixture over the process's trace: the suite's tests share one trace file in Temp, and each
// reads what was written since it began (or since it last marked the file).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace test {

class TraceTest : public testing::Test {
public:
    // What the readers can leave out: the support library's scope lines ("ENTRY:", "EXIT:"),
    // and the registry wrapper's own lines, its scopes included.
    enum Without : unsigned { kWithoutScopes = 1, kWithoutRegistry = 2 };

    // Points the process's trace at its file in Temp, at level 3. A suite with set-up of its own
    // calls this after it.
    static void SetUpTestSuite();

protected:
    void SetUp() override { MarkTrace(); }

    // The readers start after what the file holds now.
    void MarkTrace();
    // The whole lines written since the mark, header included; `without` is of Without's flags.
    std::vector<std::string> NewLines(unsigned without = 0) const;
    // The messages of those lines.
    std::vector<std::string> NewMessages(unsigned without = 0) const;
    // The messages of other threads (`others`) or of this one, without the scopes and the
    // registry wrapper's lines.
    std::vector<std::string> ThreadMessages(bool others) const;

private:
    size_t m_start = 0;
};

// How many of `lines` are `line`.
size_t Count(const std::vector<std::string>& lines, const std::string& line);

// The lines expected of `name` in the file beside the test's source (its ".cpp" as ".txt"): those
// after the line "== name", up to the next such line.
std::vector<std::string> Expected(const char* source, const std::string& name);

}  // namespace test
