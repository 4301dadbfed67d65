// CZelString's parsing operations (Split and the character-class tests) on arbitrary text
// (little-endian byte pairs, zero made a blank) with the first byte as Split's separator, each held
// to a plain model of its rule.
#include "ZelDebug.h"
#include "ZelString.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

CZelDebug g_ZelDebug;

namespace {

typedef std::basic_string<WCHAR> Text;

// Every field between separators, the one after a final separator dropped; none at all when the
// text has no separator.
std::vector<Text> SplitModel(const Text& text, WCHAR separator) {
    std::vector<Text> pieces;
    if (text.find(separator) == Text::npos) {
        return pieces;
    }
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != Text::npos; start = at + 1) {
        pieces.push_back(text.substr(start, at - start));
    }
    if (start < text.size()) {
        pieces.push_back(text.substr(start));
    }
    return pieces;
}

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    char separator = static_cast<char>(data[0]);
    Text text;
    for (size_t i = 1; i + 1 < size; i += 2) {
        WCHAR c = static_cast<WCHAR>(data[i] | data[i + 1] << 8);
        text += c ? c : ' ';
    }
    CZelString string(text.c_str());

    std::vector<CZelString> pieces;
    // The separator is widened with its sign, as a char converts.
    std::vector<Text> model = SplitModel(text, static_cast<WCHAR>(separator));
    Check(string.Split(separator, pieces) == !model.empty());
    Check(pieces.size() == model.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        Check(Text(pieces[i]) == model[i]);
    }

    bool digits = true, hex = true;
    for (WCHAR c : text) {
        digits = digits && c >= '0' && c <= '9';
        hex = hex && ((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'));
    }
    Check(string.IsNumeric() == (digits && !text.empty()));
    Check(string.IsStringHexadecimal() == hex);
    return 0;
}
