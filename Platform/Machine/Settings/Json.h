// JSON values that remember their line, so that a bad setting in a machine file can be named by
// it, and a writer for the machine's output records; both over RapidJSON.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sim {

class JsonError : public std::runtime_error {
public:
    JsonError(int line, const std::string& what) : std::runtime_error(what), m_line(line) {}
    int Line() const { return m_line; }

private:
    int m_line;
};

class Json {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    // Throws JsonError naming the line of the first syntax error.
    static Json Parse(const std::string& text);

    Kind GetKind() const { return m_kind; }
    int Line() const { return m_line; }
    bool IsNull() const { return m_kind == Kind::Null; }
    bool IsBool() const { return m_kind == Kind::Bool; }
    bool IsNumber() const { return m_kind == Kind::Number; }
    bool IsString() const { return m_kind == Kind::String; }
    bool IsArray() const { return m_kind == Kind::Array; }
    bool IsObject() const { return m_kind == Kind::Object; }

    bool Bool() const { return m_bool; }
    double Number() const { return m_number; }
    const std::string& String() const { return m_string; }  // UTF-8
    const std::vector<Json>& Items() const { return m_items; }
    const std::vector<std::pair<std::string, Json>>& Members() const { return m_members; }
    const Json* Find(const std::string& key) const;

    static const char* KindName(Kind kind);

private:
    friend class JsonBuilder;
    Kind m_kind = Kind::Null;
    int m_line = 1;
    bool m_bool = false;
    double m_number = 0;
    std::string m_string;
    std::vector<Json> m_items;
    std::vector<std::pair<std::string, Json>> m_members;
};

// Builds one output record: {"a":1,"b":"x"} with keys in the order given.
class JsonLine {
public:
    JsonLine() { m_writer.StartObject(); }
    JsonLine& Add(const std::string& key, const std::string& utf8);
    JsonLine& Add(const std::string& key, const char* utf8) { return Add(key, std::string(utf8)); }
    JsonLine& Add(const std::string& key, long long number);
    JsonLine& Add(const std::string& key, bool value);
    JsonLine& AddRaw(const std::string& key, const std::string& json);
    // The record so far, closed.
    std::string Text() const { return std::string(m_buffer.GetString(), m_buffer.GetSize()) + "}"; }

    static std::string Quote(const std::string& utf8);

private:
    rapidjson::StringBuffer m_buffer;
    rapidjson::Writer<rapidjson::StringBuffer> m_writer{m_buffer};
};

}  // namespace sim
