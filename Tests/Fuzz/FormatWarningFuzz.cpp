// CZelString::FormatWarningMessage on arbitrary templates and parameters. The input's lines are
// the template and then the parameters, each byte but zero one character. The result must be what a
// plain model of the rule gives: each "%s" from the start filled in turn, the parameters left over
// each on a line of its own after the text.
#include "ZelDebug.h"
#include "ZelString.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// The process's trace object, which the service defines beside its monitors; never configured
// here.
CZelDebug g_ZelDebug;

namespace {

typedef std::basic_string<WCHAR> Text;

Text Model(Text text, const std::vector<Text>& params) {
    size_t filled = 0;
    for (; filled < params.size(); ++filled) {
        size_t at = text.find(TEXT("%s"));
        if (at == Text::npos) {
            break;
        }
        text = text.substr(0, at) + params[filled] + text.substr(at + 2);
    }
    for (size_t i = filled; i < params.size(); ++i) {
        text += TEXT("\n") + params[i];
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Text> lines(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            lines.emplace_back();
        } else if (data[i] != 0) {  // texts of the system end at their first zero
            lines.back() += static_cast<WCHAR>(data[i]);
        }
    }
    std::vector<Text> params(lines.begin() + 1, lines.end());
    std::vector<CZelString> zelParams;
    for (const Text& param : params) {
        zelParams.push_back(CZelString(param.c_str()));
    }

    CZelString text(lines[0].c_str());
    text.FormatWarningMessage(zelParams);
    const Text& result = text;
    if (result != Model(lines[0], params)) {
        std::abort();
    }
    return 0;
}
