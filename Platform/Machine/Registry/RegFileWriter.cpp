#include "Machine/Registry/RegFile.h"

#include "Machine/Utf.h"

#include <cstdio>

namespace sim {

namespace {

// UTF-8; a lone surrogate is written on its own (generalized UTF-8), which ReadRegFile takes.
std::string Narrow(const std::u16string& text) {
    return Utf16ToUtf8(text, BrokenUtf::Keep);
}

std::string Quote(const std::u16string& text) {
    std::u16string quoted = u"\"";
    for (char16_t c : text) {
        const char16_t* escape = c == u'\\'   ? u"\\\\"
                                 : c == u'"'  ? u"\\\""
                                 : c == u'\n' ? u"\\n"
                                 : c == u'\r' ? u"\\r"
                                              : nullptr;
        quoted += escape ? std::u16string(escape) : std::u16string(1, c);
    }
    return Narrow(quoted + u"\"");
}

// A REG_SZ that "..." gives back byte for byte: one terminator, at the end, and text that needs
// no escape beyond \\ and \" (regedit's own).
bool PlainString(const std::vector<BYTE>& data, std::u16string* text) {
    if (data.size() < 2 || data.size() % 2 != 0) {
        return false;
    }
    size_t units = data.size() / 2 - 1;
    if (data[units * 2] != 0 || data[units * 2 + 1] != 0) {
        return false;
    }
    for (size_t i = 0; i < units; ++i) {
        char16_t c = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
        bool paired =
            (IsHighSurrogate(c) && i + 1 < units &&
             IsLowSurrogate(static_cast<char16_t>(data[2 * i + 2] | data[2 * i + 3] << 8))) ||
            (IsLowSurrogate(c) && !text->empty() && IsHighSurrogate(text->back()));
        if (c == 0 || c == u'\n' || c == u'\r' ||
            ((IsHighSurrogate(c) || IsLowSurrogate(c)) && !paired)) {
            return false;
        }
        text->push_back(c);
    }
    return true;
}

void WriteValue(std::string& out, const RegValue& value) {
    std::string line = value.name.empty() ? "@=" : Quote(value.name) + "=";
    std::u16string text;
    char buffer[24];
    if (value.type == REG_SZ && PlainString(value.data, &text)) {
        out += line + Quote(text) + "\n";
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                          static_cast<uint32_t>(value.data[3]) << 24;
        std::snprintf(buffer, sizeof(buffer), "dword:%08x", number);
        out += line + buffer + "\n";
        return;
    }
    if (value.type == REG_BINARY) {
        line += "hex:";
    } else {
        std::snprintf(buffer, sizeof(buffer), "hex(%x):", value.type);
        line += buffer;
    }
    // Wrapped as regedit wraps: lines of at most 80 characters, continued with a backslash.
    for (size_t i = 0; i < value.data.size(); ++i) {
        bool last = i + 1 == value.data.size();
        if (line.size() + (last ? 2 : 3) > 77) {
            out += line + "\\\n";
            line = "  ";
        }
        std::snprintf(buffer, sizeof(buffer), last ? "%02x" : "%02x,", value.data[i]);
        line += buffer;
    }
    out += line + "\n";
}

void WriteKey(std::string& out, const RegKey& key, const std::string& path, bool root,
              bool volatileKeys) {
    if (!volatileKeys && key.IsVolatile()) {
        return;
    }
    bool write = volatileKeys ? key.IsVolatile() : !root || !key.Values().empty();
    if (write) {
        out += "\n[" + path + "]\n";
        for (const RegValue& value : key.Values()) {
            WriteValue(out, value);
        }
    }
    for (const auto& sub : key.SubKeys()) {
        WriteKey(out, *sub.second, path + "\\" + Narrow(sub.second->Name()), false, volatileKeys);
    }
}

}  // namespace

std::string WriteRegFile(const RegKey& tree, bool volatileKeys) {
    std::string out = "Windows Registry Editor Version 5.00\n";
    for (const auto& root : tree.SubKeys()) {
        WriteKey(out, *root.second, Narrow(root.second->Name()), true, volatileKeys);
    }
    return out;
}

}  // namespace sim
