// The product's own routines on arbitrary bytes, the first byte picking one (modulo 4; the seeds
// start with "0" to "3"): the warning template filled in, CZelString's parsing, the driver's
// interface list, the wide printf engine. Each result is held to a plain model of its rule.
#include "TeamedAdapter.h"
#include "ZelAdapter.h"
#include "ZelDebug.h"
#include "ZelString.h"

#include <stdio.h>
#include <wchar.h>

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// The process's trace object, which the service defines beside its monitors; never configured
// here.
CZelDebug g_ZelDebug;

namespace {

typedef std::basic_string<WCHAR> Text;

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

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

// CZelString::FormatWarningMessage on arbitrary templates and parameters. The input's lines are
// the template and then the parameters, each byte but zero one character. The result must be what a
// plain model of the rule gives: each "%s" from the start filled in turn, the parameters left over
// each on a line of its own after the text.
void FormatWarning(const uint8_t* data, size_t size) {
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
    Check(Text(text) == Model(lines[0], params));
}

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

// CZelString's parsing operations (Split and the character-class tests) on arbitrary text
// (little-endian byte pairs, zero made a blank) with the first byte as Split's separator, each held
// to a plain model of its rule.
void ZelStringParsing(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
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
}

int HexValue(WCHAR c) {
    return c < 128 && std::isxdigit(c) ? std::stoi(std::string(1, char(c)), nullptr, 16) : -1;
}

bool EntryMatches(const VM_INTERFACE_ENTRY& entry, const VirtualMachine& vm) {
    if (entry.InUse != 1 || entry.VlanValid != (vm.m_nVlanID != -1) ||
        entry.VlanId != static_cast<USHORT>(vm.m_nVlanID & 0xFFFF)) {
        return false;
    }
    for (size_t k = 0; k < 6 && 2 * k + 1 < vm.m_strMAC.size(); ++k) {
        int high = HexValue(vm.m_strMAC[2 * k]);
        int low = HexValue(vm.m_strMAC[2 * k + 1]);
        if (high >= 0 && low >= 0 && entry.MacAddress[k] != high * 16 + low) {
            return false;
        }
    }
    return true;
}

// The driver's interface list packed from arbitrary VM records. Each record is a length byte,
// that many MAC characters and a 16-bit VLAN (0xFFFF: none). The list must hold the first 260
// records in order, every pair of hexadecimal digits packed as its byte, and nothing past Count.
void MacList(const uint8_t* data, size_t size) {
    TeamedAdapter team;
    for (size_t i = 0; i < size;) {
        size_t length = data[i++] % 16;
        auto vm = std::make_unique<VirtualMachine>();
        for (; length > 0 && i < size; --length, ++i) {
            vm->m_strMAC.push_back(data[i] ? data[i] : '0');
        }
        int vlan = i + 1 < size ? data[i] | data[i + 1] << 8 : 0xFFFF;
        vm->m_nVlanID = vlan == 0xFFFF ? -1 : vlan;
        i += 2;
        team.m_VirtualMachines.push_back(vm.release());
    }
    auto list = std::make_unique<VM_INTERFACE_LIST>();
    memset(list.get(), 0xCC, sizeof *list);
    BuildVmInterfaceList(&team, list.get());
    size_t count = team.m_VirtualMachines.size();
    count = count < VM_INTERFACE_LIST_ENTRIES ? count : VM_INTERFACE_LIST_ENTRIES;
    Check(list->Marker == 1 && list->Count == count);
    static const VM_INTERFACE_ENTRY kEmpty = {};
    for (size_t n = 0; n < VM_INTERFACE_LIST_ENTRIES; ++n) {
        Check(n < count ? EntryMatches(list->Entries[n], *team.m_VirtualMachines[n])
                        : memcmp(&list->Entries[n], &kEmpty, sizeof kEmpty) == 0);
    }
}

const char16_t kWide[] = u"Team A \u00e9";
const char kNarrow[] = "Team B";

// Every argument is passed in a 64-bit slot; the integer directives read their low half, as
// x86-64 passes them.
struct Directive {
    const char16_t* text;
    uint64_t argument;
};

const Directive kDirectives[] = {{u"%d", static_cast<uint64_t>(-42)},
                                 {u"%u", 4000000000u},
                                 {u"%x", 0xBEEF},
                                 {u"%08X", 0x1A2B},
                                 {u"%02.2d", 7},
                                 {u"%03.3d", 42},
                                 {u"%I64X", 0x2F3A4B5C6DULL},
                                 {u"%s", 0},
                                 {u"%-12s", 0},
                                 {u"%.3s", 0},
                                 {u"%c", u'Z'},
                                 {u"%%", 0},
                                 {u"%5d", 123456},
                                 {u"%ld", 99},
                                 {u"%S", 0}};
const size_t kMaxArguments = 6;

int PrintList(char16_t* buffer, size_t count, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

int Print(char16_t* buffer, size_t count, const std::u16string& format, const uint64_t* a) {
    return PrintList(buffer, count, format.c_str(), a[0], a[1], a[2], a[3], a[4], a[5]);
}

// The wide printf engine on formats built from arbitrary bytes: literal text mixed with the
// directives the product uses. Whatever the format, a buffer too small for the output holds its
// first characters and the call says it was cut (-1), and one of exactly the output's size holds
// it all without a terminator, as the Microsoft runtime does.
void WidePrintf(const uint8_t* data, size_t size) {
    std::u16string format;
    uint64_t arguments[kMaxArguments] = {};
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] < 0xF0 || used == kMaxArguments) {
            char16_t c = data[i] == '%' ? u'?' : static_cast<char16_t>(data[i] ? data[i] : ' ');
            format += c;
            continue;
        }
        const Directive& d =
            kDirectives[(data[i] - 0xF0) % (sizeof kDirectives / sizeof *kDirectives)];
        format += d.text;
        char16_t kind = d.text[std::char_traits<char16_t>::length(d.text) - 1];
        if (kind == u'%') {
            continue;  // takes no argument
        }
        arguments[used++] = kind == u's'   ? reinterpret_cast<uint64_t>(kWide)
                            : kind == u'S' ? reinterpret_cast<uint64_t>(kNarrow)
                                           : d.argument;
    }
    std::vector<char16_t> whole(format.size() * 4 + 64 * kMaxArguments + 1);
    int length = Print(whole.data(), whole.size(), format, arguments);
    Check(length >= 0 && static_cast<size_t>(length) < whole.size() && whole[length] == 0);
    for (size_t count : {size_t(0), static_cast<size_t>(length) / 2, static_cast<size_t>(length)}) {
        std::vector<char16_t> part(count + 1, u'#');
        int result = Print(part.data(), count, format, arguments);
        bool cut = count < static_cast<size_t>(length);
        Check(result == (cut ? -1 : length) && part[count] == u'#' &&
              std::u16string(part.data(), count) == std::u16string(whole.data(), count));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    void (*const routines[])(const uint8_t*, size_t) = {FormatWarning, ZelStringParsing, MacList,
                                                        WidePrintf};
    if (size > 0) {
        routines[data[0] % 4](data + 1, size - 1);
    }
    return 0;
}
