#include "Machine/RegFile.h"

#include <winreg.h>

#include <cstdio>

namespace sim {

namespace {

char16_t UpcaseChar(char16_t c) {
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    }
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F) || (c >= 0xFF41 && c <= 0xFF5A)) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c == 0x3C2) {
        return 0x3A3;
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<char16_t>(c - 0x50);
    }
    // Latin Extended-A pairs its capitals and small letters, odd or even by range.
    bool oddIsSmall = (c >= 0x100 && c <= 0x137 && c != 0x131) || (c >= 0x14A && c <= 0x177);
    bool evenIsSmall = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if ((oddIsSmall && (c & 1)) || (evenIsSmall && !(c & 1))) {
        return static_cast<char16_t>(c - 1);
    }
    return c;
}

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t';
}

bool IsHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

unsigned HexValue(char16_t c) {
    if (c <= u'9') {
        return c - u'0';
    }
    return (c | 0x20) - u'a' + 10;
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

std::string Narrow(const std::u16string& text);

// ---- Decoding ----

int LineAt(const std::string& bytes, size_t end) {
    int line = 1;
    for (size_t i = 0; i < end && i < bytes.size(); ++i) {
        line += bytes[i] == '\n';
    }
    return line;
}

std::u16string DecodeUtf16(const std::string& bytes) {
    if (bytes.size() % 2 != 0) {
        throw RegFileError(LineAt(bytes, bytes.size()), "UTF-16 text with an odd number of bytes");
    }
    std::u16string text;
    text.reserve(bytes.size() / 2 - 1);
    for (size_t i = 2; i < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
}

// UTF-8, also taking surrogates encoded on their own (generalized UTF-8), which WriteRegFile
// writes for names that hold lone surrogates.
std::u16string DecodeUtf8(const std::string& bytes, size_t start) {
    std::u16string text;
    text.reserve(bytes.size());
    int line = 1;
    for (size_t i = start; i < bytes.size();) {
        unsigned char c = bytes[i];
        if (c < 0x80) {
            line += c == '\n';
            text.push_back(c);
            ++i;
            continue;
        }
        int extra = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + extra >= bytes.size()) {
            throw RegFileError(line, "invalid UTF-8");
        }
        unsigned cp = c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            unsigned char next = bytes[i + k];
            if ((next & 0xC0) != 0x80) {
                throw RegFileError(line, "invalid UTF-8");
            }
            cp = cp << 6 | (next & 0x3F);
        }
        static const unsigned kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF) {
            throw RegFileError(line, "invalid UTF-8");
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return text;
}

std::u16string Decode(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        return DecodeUtf16(bytes);
    }
    bool bom = bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
               static_cast<unsigned char>(bytes[1]) == 0xBB &&
               static_cast<unsigned char>(bytes[2]) == 0xBF;
    return DecodeUtf8(bytes, bom ? 3 : 0);
}

// ---- Parsing ----

const char16_t kSignature[] = u"Windows Registry Editor Version 5.00";

class Parser {
public:
    Parser(const std::u16string& text, RegKey& tree, bool volatileKeys)
        : m_tree(tree), m_volatile(volatileKeys) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(u'\n', start);
            if (end == std::u16string::npos) {
                end = text.size();
            }
            std::u16string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == u'\r') {
                line.pop_back();
            }
            m_lines.push_back(std::move(line));
            start = end + 1;
        }
    }

    void Run() {
        bool signed_ = false;
        for (m_index = 0; m_index < m_lines.size(); ++m_index) {
            const std::u16string& line = m_lines[m_index];
            size_t pos = SkipSpaces(line, 0);
            if (pos == line.size() || line[pos] == u';') {
                continue;
            }
            if (!signed_) {
                if (line.substr(pos) != kSignature) {
                    Fail("not a registry file: the first line must be \"" + Narrow(kSignature) +
                         "\"");
                }
                signed_ = true;
            } else if (line[pos] == u'[') {
                KeyLine(line, pos + 1);
            } else if (line[pos] == u'"' || line[pos] == u'@') {
                ValueLine(line, pos);
            } else {
                Fail("expected a [key] or a \"value\"=data line");
            }
        }
        if (!signed_) {
            m_index = 0;
            Fail("not a registry file: no \"" + Narrow(kSignature) + "\" line");
        }
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw RegFileError(static_cast<int>(m_index) + 1, what);
    }

    static size_t SkipSpaces(const std::u16string& line, size_t pos) {
        while (pos < line.size() && IsSpace(line[pos])) {
            ++pos;
        }
        return pos;
    }

    // Only blanks, or a comment, may follow data.
    void ExpectEnd(const std::u16string& line, size_t pos) const {
        pos = SkipSpaces(line, pos);
        if (pos < line.size() && line[pos] != u';') {
            Fail("unexpected text after the data: \"" + Narrow(line.substr(pos)) + "\"");
        }
    }

    void KeyLine(const std::u16string& line, size_t pos) {
        size_t close = line.rfind(u']');
        if (close == std::u16string::npos || close < pos) {
            Fail("key line without its closing ']'");
        }
        ExpectEnd(line, close + 1);
        bool remove = pos < close && line[pos] == u'-';
        std::u16string path = line.substr(remove ? pos + 1 : pos, close - (remove ? pos + 1 : pos));
        std::vector<std::u16string> names;
        size_t start = 0;
        while (true) {
            size_t slash = path.find(u'\\', start);
            std::u16string name = path.substr(
                start, slash == std::u16string::npos ? std::u16string::npos : slash - start);
            if (name.empty()) {
                Fail("empty key name in \"" + Narrow(path) + "\"");
            }
            if (name.size() > 255) {
                Fail("key name longer than 255 characters");
            }
            names.push_back(std::move(name));
            if (slash == std::u16string::npos) {
                break;
            }
            start = slash + 1;
        }
        std::u16string root = RegRootName(names[0]);
        if (root.empty()) {
            Fail("unknown root key \"" + Narrow(names[0]) + "\"");
        }
        names[0] = root;
        m_key = nullptr;
        RegKey* parent = &m_tree;
        if (remove) {
            if (names.size() == 1) {
                Fail("a root key cannot be deleted");
            }
            for (size_t i = 0; parent != nullptr && i + 1 < names.size(); ++i) {
                parent = parent->SubKey(names[i]);
            }
            if (parent != nullptr) {
                parent->RemoveSubKey(names.back());
            }
            return;
        }
        for (const std::u16string& name : names) {
            parent = &parent->AddSubKey(name);
        }
        if (m_volatile) {
            if (names.size() == 1) {
                Fail("a root key cannot be volatile");
            }
            parent->SetVolatile(true);
        }
        m_key = parent;
    }

    // A quoted string starting at line[pos] == '"'; returns the position after its closing quote.
    size_t QuotedString(const std::u16string& line, size_t pos, std::u16string* text) const {
        for (++pos; pos < line.size(); ++pos) {
            char16_t c = line[pos];
            if (c == u'"') {
                return pos + 1;
            }
            if (c == u'\\') {
                if (++pos == line.size()) {
                    break;
                }
                switch (line[pos]) {
                    case u'\\':
                        c = u'\\';
                        break;
                    case u'"':
                        c = u'"';
                        break;
                    case u'n':
                        c = u'\n';
                        break;
                    case u'r':
                        c = u'\r';
                        break;
                    default:
                        Fail("unknown escape \"\\" + Narrow(line.substr(pos, 1)) + "\"");
                }
            }
            text->push_back(c);
        }
        Fail("string without its closing quote");
    }

    void ValueLine(const std::u16string& line, size_t pos) {
        if (m_key == nullptr) {
            Fail("a value outside a key");
        }
        RegValue value;
        if (line[pos] == u'@') {
            ++pos;
        } else {
            pos = QuotedString(line, pos, &value.name);
        }
        pos = SkipSpaces(line, pos);
        if (pos == line.size() || line[pos] != u'=') {
            Fail("expected '=' after the value name");
        }
        pos = SkipSpaces(line, pos + 1);
        std::u16string rest = line.substr(pos);
        auto startsWith = [&](const std::u16string& prefix) {
            return RegUpcase(rest.substr(0, prefix.size())) == prefix;
        };
        if (!rest.empty() && rest[0] == u'"') {
            std::u16string text;
            ExpectEnd(line, QuotedString(line, pos, &text));
            value.type = REG_SZ;
            for (char16_t c : text) {
                value.data.push_back(static_cast<BYTE>(c & 0xFF));
                value.data.push_back(static_cast<BYTE>(c >> 8));
            }
            value.data.push_back(0);
            value.data.push_back(0);
        } else if (!rest.empty() && rest[0] == u'-') {
            ExpectEnd(line, pos + 1);
            m_key->RemoveValue(value.name);
            return;
        } else if (startsWith(u"DWORD:")) {
            size_t at = pos + 6;
            uint32_t number = 0;
            size_t digits = 0;
            for (; at < line.size() && IsHexDigit(line[at]); ++at, ++digits) {
                number = number << 4 | HexValue(line[at]);
            }
            if (digits == 0 || digits > 8) {
                Fail("a dword needs 1 to 8 hexadecimal digits");
            }
            ExpectEnd(line, at);
            value.type = REG_DWORD;
            for (int shift = 0; shift < 32; shift += 8) {
                value.data.push_back(static_cast<BYTE>(number >> shift));
            }
        } else if (startsWith(u"HEX:") || startsWith(u"HEX(")) {
            size_t at = pos + 3;
            value.type = REG_BINARY;
            if (line[at] == u'(') {
                uint32_t type = 0;
                size_t digits = 0;
                for (++at; at < line.size() && IsHexDigit(line[at]); ++at, ++digits) {
                    type = type << 4 | HexValue(line[at]);
                }
                if (digits == 0 || digits > 8 || at + 1 >= line.size() || line[at] != u')' ||
                    line[at + 1] != u':') {
                    Fail("a value type is written hex(N): with N in hexadecimal");
                }
                value.type = type;
                ++at;
            }
            HexBytes(at + 1, &value.data);
        } else {
            Fail("unrecognized value data \"" + Narrow(rest) + "\"");
        }
        m_key->SetValue(std::move(value));
    }

    // Comma-separated bytes from m_lines[m_index] at `pos`, continued on the next line after a
    // line ending in a backslash.
    void HexBytes(size_t pos, std::vector<BYTE>* bytes) {
        while (true) {
            const std::u16string& line = m_lines[m_index];
            bool continued = false;
            bool wantByte = true;
            pos = SkipSpaces(line, pos);
            while (pos < line.size() && line[pos] != u';') {
                if (line[pos] == u'\\') {
                    ExpectEnd(line, pos + 1);
                    continued = true;
                    break;
                }
                if (!wantByte) {
                    if (line[pos] != u',') {
                        Fail("expected ',' between hexadecimal bytes");
                    }
                    wantByte = true;
                    pos = SkipSpaces(line, pos + 1);
                    continue;
                }
                size_t digits = 0;
                unsigned byte = 0;
                for (; pos < line.size() && IsHexDigit(line[pos]); ++pos, ++digits) {
                    byte = byte << 4 | HexValue(line[pos]);
                }
                if (digits == 0 || digits > 2) {
                    Fail("bad hexadecimal byte in \"" + Narrow(line) + "\"");
                }
                bytes->push_back(static_cast<BYTE>(byte));
                wantByte = false;
                pos = SkipSpaces(line, pos);
            }
            if (!continued) {
                return;
            }
            if (m_index + 1 == m_lines.size()) {
                Fail("hexadecimal data continued past the end of the file");
            }
            ++m_index;
            pos = 0;
        }
    }

    RegKey& m_tree;
    bool m_volatile;
    std::vector<std::u16string> m_lines;
    size_t m_index = 0;
    RegKey* m_key = nullptr;
};

// ---- Writing ----

void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// UTF-8; a lone surrogate is encoded on its own (generalized UTF-8).
std::string Narrow(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(out, 0x10000 + ((c - 0xD800u) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::string Quote(const std::u16string& text) {
    std::string out = "\"";
    for (char16_t c : text) {
        switch (c) {
            case u'\\':
                out += "\\\\";
                break;
            case u'"':
                out += "\\\"";
                break;
            case u'\n':
                out += "\\n";
                break;
            case u'\r':
                out += "\\r";
                break;
            default:
                out += Narrow(std::u16string(1, c));
        }
    }
    return out + "\"";
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

std::u16string RegUpcase(const std::u16string& name) {
    std::u16string upper(name);
    for (char16_t& c : upper) {
        c = UpcaseChar(c);
    }
    return upper;
}

bool RegNamesEqual(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpcaseChar(a[i]) != UpcaseChar(b[i])) {
            return false;
        }
    }
    return true;
}

RegKey* RegKey::SubKey(const std::u16string& name) const {
    auto found = m_subKeys.find(RegUpcase(name));
    return found == m_subKeys.end() ? nullptr : found->second.get();
}

RegKey& RegKey::AddSubKey(const std::u16string& name, bool* made) {
    std::unique_ptr<RegKey>& slot = m_subKeys[RegUpcase(name)];
    if (made != nullptr) {
        *made = slot == nullptr;
    }
    if (slot == nullptr) {
        slot = std::make_unique<RegKey>(name);
        slot->m_volatile = m_volatile;
    }
    return *slot;
}

bool RegKey::RemoveSubKey(const std::u16string& name) {
    return m_subKeys.erase(RegUpcase(name)) != 0;
}

RegKey* RegKey::Find(const std::u16string& path) const {
    const RegKey* key = this;
    size_t start = 0;
    while (key != nullptr && start < path.size()) {
        size_t slash = path.find(u'\\', start);
        if (slash == std::u16string::npos) {
            slash = path.size();
        }
        if (slash > start) {
            key = key->SubKey(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    return const_cast<RegKey*>(key);
}

const RegValue* RegKey::Value(const std::u16string& name) const {
    for (const RegValue& value : m_values) {
        if (RegNamesEqual(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

void RegKey::SetValue(RegValue value) {
    for (RegValue& existing : m_values) {
        if (RegNamesEqual(existing.name, value.name)) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return;
        }
    }
    m_values.push_back(std::move(value));
}

bool RegKey::RemoveValue(const std::u16string& name) {
    for (auto it = m_values.begin(); it != m_values.end(); ++it) {
        if (RegNamesEqual(it->name, name)) {
            m_values.erase(it);
            return true;
        }
    }
    return false;
}

bool RegKey::SameTree(const RegKey& other) const {
    if (m_name != other.m_name || m_volatile != other.m_volatile || m_values != other.m_values ||
        m_subKeys.size() != other.m_subKeys.size()) {
        return false;
    }
    for (auto a = m_subKeys.begin(), b = other.m_subKeys.begin(); a != m_subKeys.end(); ++a, ++b) {
        if (a->first != b->first || !a->second->SameTree(*b->second)) {
            return false;
        }
    }
    return true;
}

const char16_t* const kRegRootNames[5] = {u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_USER",
                                          u"HKEY_LOCAL_MACHINE", u"HKEY_USERS",
                                          u"HKEY_CURRENT_CONFIG"};

std::u16string RegRootName(const std::u16string& name) {
    static const char16_t* const kShort[5] = {u"HKCR", u"HKCU", u"HKLM", u"HKU", u"HKCC"};
    for (int i = 0; i < 5; ++i) {
        if (RegNamesEqual(name, kRegRootNames[i]) || RegNamesEqual(name, kShort[i])) {
            return kRegRootNames[i];
        }
    }
    return std::u16string();
}

std::unique_ptr<RegKey> NewRegistryTree() {
    auto tree = std::make_unique<RegKey>();
    for (const char16_t* root : kRegRootNames) {
        tree->AddSubKey(root);
    }
    return tree;
}

void ReadRegFile(const std::string& bytes, RegKey& tree, bool volatileKeys) {
    Parser parser(Decode(bytes), tree, volatileKeys);
    parser.Run();
}

std::string WriteRegFile(const RegKey& tree, bool volatileKeys) {
    std::string out = "Windows Registry Editor Version 5.00\n";
    for (const auto& root : tree.SubKeys()) {
        WriteKey(out, *root.second, Narrow(root.second->Name()), true, volatileKeys);
    }
    return out;
}

}  // namespace sim
