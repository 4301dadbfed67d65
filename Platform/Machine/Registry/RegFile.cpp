#include "Machine/Registry/RegFile.h"

#include "Machine/Utf.h"

#include <winreg.h>

#include <algorithm>

namespace sim {

namespace {

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

// UTF-8; a lone surrogate is written on its own (generalized UTF-8), which Decode takes back.
std::string Narrow(const std::u16string& text) {
    return Utf16ToUtf8(text, BrokenUtf::Keep);
}

// ---- Decoding ----

int LineAt(const std::string& bytes, size_t end) {
    return 1 + static_cast<int>(std::count(bytes.begin(), bytes.begin() + end, '\n'));
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
    std::string_view utf8(bytes);
    size_t taken = Utf8ToUtf16(utf8.substr(start), text, BrokenUtf::Keep);
    if (start + taken != bytes.size()) {
        throw RegFileError(LineAt(bytes, start + taken), "invalid UTF-8");
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

}  // namespace

void ReadRegFile(const std::string& bytes, RegKey& tree, bool volatileKeys) {
    Parser parser(Decode(bytes), tree, volatileKeys);
    parser.Run();
}

}  // namespace sim
