#include "Machine/Settings/Json.h"

#include <rapidjson/reader.h>

#include <algorithm>

namespace sim {

namespace {

constexpr size_t kMaxDepth = 64;

// The text as RapidJSON reads it, counting lines as it goes: a value's event comes while the
// stream stands on the value's line (strings and numbers hold no line feed).
class LineCountingStream {
public:
    using Ch = char;

    explicit LineCountingStream(const std::string& text) : m_text(text) {}

    Ch Peek() const { return m_pos < m_text.size() ? m_text[m_pos] : '\0'; }
    Ch Take() {
        Ch c = Peek();
        if (m_pos < m_text.size()) {
            m_line += c == '\n';
            ++m_pos;
        }
        return c;
    }
    size_t Tell() const { return m_pos; }
    int Line() const { return m_line; }

    // Read-only: RapidJSON asks for these only when parsing in place.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

private:
    const std::string& m_text;
    size_t m_pos = 0;
    int m_line = 1;
};

int LineAt(const std::string& text, size_t offset) {
    offset = std::min(offset, text.size());
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + offset, '\n'));
}

// Our words for RapidJSON's syntax errors.
std::string SyntaxError(const std::string& text, const rapidjson::ParseResult& result) {
    size_t at = result.Offset();
    if (at >= text.size() && result.Code() != rapidjson::kParseErrorDocumentRootNotSingular) {
        return "unexpected end of the document";
    }
    switch (result.Code()) {
        case rapidjson::kParseErrorDocumentRootNotSingular:
            return "unexpected text after the end of the document";
        case rapidjson::kParseErrorObjectMissName:
            return "expected a member name";
        case rapidjson::kParseErrorObjectMissColon:
            return "expected ':'";
        case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
            return "expected '}'";
        case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
            return "expected ']'";
        case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
            return "malformed \\u escape";
        case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
            return "unpaired surrogate in \\u escape";
        case rapidjson::kParseErrorStringEscapeInvalid:
            // RapidJSON names a control character in a string an invalid escape too.
            if (static_cast<unsigned char>(text[at]) < 0x20) {
                return "control character in a string";
            }
            return "unknown escape " + text.substr(at, 2);
        case rapidjson::kParseErrorStringMissQuotationMark:
            return "unterminated string";
        case rapidjson::kParseErrorNumberTooBig:
        case rapidjson::kParseErrorNumberMissFraction:
        case rapidjson::kParseErrorNumberMissExponent:
            return "malformed number";
        default:
            return "expected a value";
    }
}

}  // namespace

// Builds the value tree from RapidJSON's events, each value stamped with its line.
class JsonBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonBuilder> {
public:
    explicit JsonBuilder(const LineCountingStream& in) : m_in(in) {}

    bool Null() { return Add(Value(Json::Kind::Null)) != nullptr; }
    bool Bool(bool b) {
        Json value = Value(Json::Kind::Bool);
        value.m_bool = b;
        return Add(std::move(value)) != nullptr;
    }
    bool Int(int n) { return Number(n); }
    bool Uint(unsigned n) { return Number(n); }
    bool Int64(int64_t n) { return Number(static_cast<double>(n)); }
    bool Uint64(uint64_t n) { return Number(static_cast<double>(n)); }
    bool Double(double n) { return Number(n); }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        Json value = Value(Json::Kind::String);
        value.m_string.assign(text, length);
        return Add(std::move(value)) != nullptr;
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        m_key.assign(text, length);
        for (const auto& member : m_open.back()->m_members) {
            if (member.first == m_key) {
                return Fail("duplicate member \"" + m_key + "\"");
            }
        }
        return true;
    }
    bool StartObject() { return Open(Json::Kind::Object); }
    bool EndObject(rapidjson::SizeType) { return Close(); }
    bool StartArray() { return Open(Json::Kind::Array); }
    bool EndArray(rapidjson::SizeType) { return Close(); }

    Json& Root() { return m_root; }
    const std::string& Error() const { return m_error; }
    int ErrorLine() const { return m_errorLine; }

private:
    Json Value(Json::Kind kind) const {
        Json value;
        value.m_kind = kind;
        value.m_line = m_in.Line();
        return value;
    }

    bool Number(double n) {
        Json value = Value(Json::Kind::Number);
        value.m_number = n;
        return Add(std::move(value)) != nullptr;
    }

    // Only the innermost open value grows, so the pointers to those around it stay good.
    Json* Add(Json value) {
        if (m_open.empty()) {
            m_root = std::move(value);
            return &m_root;
        }
        Json& parent = *m_open.back();
        if (parent.IsArray()) {
            parent.m_items.push_back(std::move(value));
            return &parent.m_items.back();
        }
        parent.m_members.emplace_back(m_key, std::move(value));
        return &parent.m_members.back().second;
    }

    bool Open(Json::Kind kind) {
        if (m_open.size() > kMaxDepth) {
            return Fail("nesting too deep");
        }
        m_open.push_back(Add(Value(kind)));
        return true;
    }

    bool Close() {
        m_open.pop_back();
        return true;
    }

    bool Fail(const std::string& what) {
        m_error = what;
        m_errorLine = m_in.Line();
        return false;
    }

    const LineCountingStream& m_in;
    Json m_root;
    std::vector<Json*> m_open;
    std::string m_key;
    std::string m_error;
    int m_errorLine = 0;
};

Json Json::Parse(const std::string& text) {
    LineCountingStream in(text);
    JsonBuilder builder(in);
    rapidjson::Reader reader;
    rapidjson::ParseResult result = reader.Parse<rapidjson::kParseDefaultFlags>(in, builder);
    if (result.Code() == rapidjson::kParseErrorTermination) {
        throw JsonError(builder.ErrorLine(), builder.Error());
    }
    if (result.IsError()) {
        throw JsonError(LineAt(text, result.Offset()), SyntaxError(text, result));
    }
    return std::move(builder.Root());
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
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
    return std::string(buffer.GetString(), buffer.GetSize());
}

JsonLine& JsonLine::Add(const std::string& key, const std::string& utf8) {
    m_writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
    m_writer.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, long long number) {
    m_writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
    m_writer.Int64(number);
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, bool value) {
    m_writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
    m_writer.Bool(value);
    return *this;
}

JsonLine& JsonLine::AddRaw(const std::string& key, const std::string& json) {
    m_writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
    m_writer.RawValue(json.data(), json.size(), rapidjson::kObjectType);
    return *this;
}

}  // namespace sim
