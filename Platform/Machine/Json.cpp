#include "Machine/Json.h"

#include "Machine/Settings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : m_text(text) {}

    Json ParseDocument() {
        Json value = ParseValue(0);
        SkipBlanks();
        if (m_pos != m_text.size()) {
            Fail("unexpected text after the end of the document");
        }
        return value;
    }

private:
    static constexpr int kMaxDepth = 64;

    [[noreturn]] void Fail(const std::string& what) { throw JsonError(m_line, what); }

    void SkipBlanks() {
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos];
            if (c == '\n') {
                ++m_line;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                return;
            }
            ++m_pos;
        }
    }

    char Peek() {
        SkipBlanks();
        if (m_pos >= m_text.size()) {
            Fail("unexpected end of the document");
        }
        return m_text[m_pos];
    }

    void Expect(char c) {
        if (Peek() != c) {
            Fail(std::string("expected '") + c + "'");
        }
        ++m_pos;
    }

    Json ParseValue(int depth) {
        if (depth > kMaxDepth) {
            Fail("nesting too deep");
        }
        Json value;
        char c = Peek();
        value.m_line = m_line;
        if (c == '{') {
            value.m_kind = Json::Kind::Object;
            ParseObject(value, depth);
        } else if (c == '[') {
            value.m_kind = Json::Kind::Array;
            ParseArray(value, depth);
        } else if (c == '"') {
            value.m_kind = Json::Kind::String;
            value.m_string = ParseString();
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            value.m_kind = Json::Kind::Number;
            value.m_number = ParseNumber();
        } else if (Word("true")) {
            value.m_kind = Json::Kind::Bool;
            value.m_bool = true;
        } else if (Word("false")) {
            value.m_kind = Json::Kind::Bool;
        } else if (!Word("null")) {
            Fail("expected a value");
        }
        return value;
    }

    bool Word(const char* word) {
        std::string w(word);
        if (m_text.compare(m_pos, w.size(), w) != 0) {
            return false;
        }
        m_pos += w.size();
        return true;
    }

    void ParseObject(Json& value, int depth) {
        Expect('{');
        if (Peek() == '}') {
            ++m_pos;
            return;
        }
        for (;;) {
            if (Peek() != '"') {
                Fail("expected a member name");
            }
            int line = m_line;
            std::string key = ParseString();
            for (const auto& member : value.m_members) {
                if (member.first == key) {
                    throw JsonError(line, "duplicate member \"" + key + "\"");
                }
            }
            Expect(':');
            value.m_members.emplace_back(key, ParseValue(depth + 1));
            if (Peek() == ',') {
                ++m_pos;
                continue;
            }
            Expect('}');
            return;
        }
    }

    void ParseArray(Json& value, int depth) {
        Expect('[');
        if (Peek() == ']') {
            ++m_pos;
            return;
        }
        for (;;) {
            value.m_items.push_back(ParseValue(depth + 1));
            if (Peek() == ',') {
                ++m_pos;
                continue;
            }
            Expect(']');
            return;
        }
    }

    double ParseNumber() {
        size_t start = m_pos;
        if (m_text[m_pos] == '-') {
            ++m_pos;
        }
        auto digits = [&] {
            size_t from = m_pos;
            while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9') {
                ++m_pos;
            }
            return m_pos > from;
        };
        if (!digits()) {
            Fail("malformed number");
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            ++m_pos;
            if (!digits()) {
                Fail("malformed number");
            }
        }
        if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
            ++m_pos;
            if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) {
                ++m_pos;
            }
            if (!digits()) {
                Fail("malformed number");
            }
        }
        return std::strtod(m_text.substr(start, m_pos - start).c_str(), nullptr);
    }

    unsigned Hex4() {
        if (m_pos + 4 > m_text.size()) {
            Fail("malformed \\u escape");
        }
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            char c = m_text[m_pos++];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= c - '0';
            } else if (c >= 'a' && c <= 'f') {
                value |= c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                value |= c - 'A' + 10;
            } else {
                Fail("malformed \\u escape");
            }
        }
        return value;
    }

    std::string ParseString() {
        ++m_pos;  // the opening quote
        std::string out;
        for (;;) {
            if (m_pos >= m_text.size()) {
                Fail("unterminated string");
            }
            char c = m_text[m_pos++];
            if (c == '"') {
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                Fail("control character in a string");
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size()) {
                Fail("unterminated string");
            }
            char e = m_text[m_pos++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned cp = Hex4();
                    if (cp >= 0xD800 && cp < 0xDC00 && Word("\\u")) {
                        unsigned low = Hex4();
                        if (low < 0xDC00 || low > 0xDFFF) {
                            Fail("unpaired surrogate in \\u escape");
                        }
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                        Fail("unpaired surrogate in \\u escape");
                    }
                    AppendUtf8(out, cp);
                    break;
                }
                default:
                    Fail(std::string("unknown escape \\") + e);
            }
        }
    }

    const std::string& m_text;
    size_t m_pos = 0;
    int m_line = 1;
};

Json Json::Parse(const std::string& text) {
    return JsonParser(text).ParseDocument();
}

const Json* Json::Find(const std::string& key) const {
    for (const auto& member : m_members) {
        if (member.first == key) {
            return &member.second;
        }
    }
    return nullptr;
}

const char* Json::KindName(Kind kind) {
    switch (kind) {
        case Kind::Null:
            return "null";
        case Kind::Bool:
            return "a boolean";
        case Kind::Number:
            return "a number";
        case Kind::String:
            return "a string";
        case Kind::Array:
            return "an array";
        case Kind::Object:
            return "an object";
    }
    return "?";
}

std::string JsonLine::Quote(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void JsonLine::Key(const std::string& key) {
    if (m_text.size() > 1) {
        m_text += ",";
    }
    m_text += Quote(key) + ":";
}

JsonLine& JsonLine::Add(const std::string& key, const std::string& utf8) {
    Key(key);
    m_text += Quote(utf8);
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, long long number) {
    Key(key);
    m_text += std::to_string(number);
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, bool value) {
    Key(key);
    m_text += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::AddRaw(const std::string& key, const std::string& json) {
    Key(key);
    m_text += json;
    return *this;
}

}  // namespace sim
