#include "Machine/Settings/SettingsReader.h"

#include <exception>

namespace sim {

Json ParseSettingsFile(const std::string& text, const std::string& file) {
    try {
        return Json::Parse(text);
    } catch (const JsonError& e) {
        throw SettingsError(file, e.Line(), "", e.what());
    }
}

SettingsReader::SettingsReader(const std::string& file, const std::string& path, const Json& object)
    : m_file(file), m_path(path), m_object(object) {
    if (!object.IsObject()) {
        Fail(object, "expected an object, found " + std::string(Json::KindName(object.GetKind())));
    }
}

SettingsReader::SettingsReader(const SettingsReader& outer, const std::string& key,
                               const Json& object)
    : SettingsReader(outer.m_file, outer.Name(key), object) {}

SettingsReader::~SettingsReader() noexcept(false) {
    if (std::uncaught_exceptions() > 0) {
        return;
    }
    for (const auto& member : m_object.Members()) {
        if (m_known.count(member.first) == 0) {
            throw SettingsError(m_file, member.second.Line(), Name(member.first),
                                "unknown setting");
        }
    }
}

const Json* SettingsReader::Get(const std::string& key, Json::Kind kind) {
    m_known[key] = true;
    const Json* value = m_object.Find(key);
    if (value != nullptr && value->GetKind() != kind) {
        throw SettingsError(m_file, value->Line(), Name(key),
                            std::string("expected ") + Json::KindName(kind) + ", found " +
                                Json::KindName(value->GetKind()));
    }
    return value;
}

const Json* SettingsReader::Any(const std::string& key) {
    m_known[key] = true;
    return m_object.Find(key);
}

void SettingsReader::Boolean(const std::string& key, bool& out) {
    if (const Json* v = Get(key, Json::Kind::Bool)) {
        out = v->Bool();
    }
}

void SettingsReader::Text(const std::string& key, std::string& out) {
    if (const Json* v = Get(key, Json::Kind::String)) {
        out = v->String();
    }
}

void SettingsReader::Text(const std::string& key, std::u16string& out) {
    if (const Json* v = Get(key, Json::Kind::String)) {
        out = Utf8ToUtf16(v->String());
    }
}

void SettingsReader::Object(const std::string& key,
                            const std::function<void(SettingsReader&)>& read) {
    if (const Json* v = Get(key, Json::Kind::Object)) {
        SettingsReader inner(m_file, Name(key), *v);
        read(inner);
    }
}

void SettingsReader::Array(const std::string& key,
                           const std::function<void(SettingsReader&)>& readItem) {
    if (const Json* v = Get(key, Json::Kind::Array)) {
        for (size_t i = 0; i < v->Items().size(); ++i) {
            SettingsReader inner(m_file, Name(key) + "[" + std::to_string(i) + "]", v->Items()[i]);
            readItem(inner);
        }
    }
}

void SettingsReader::Fail(const Json& at, const std::string& what) const {
    throw SettingsError(m_file, at.Line(), m_path, what);
}

void SettingsReader::Fail(const std::string& key, const std::string& what) {
    const Json* v = m_object.Find(key);
    throw SettingsError(m_file, v ? v->Line() : m_object.Line(), Name(key), what);
}

std::string SettingsReader::Name(const std::string& key) const {
    return m_path.empty() ? key : m_path + "." + key;
}

bool IsGuidText(const std::u16string& text) {
    if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') {
        return false;
    }
    for (size_t i = 1; i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        char16_t c = text[i];
        bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (dash ? c != u'-' : !hex) {
            return false;
        }
    }
    return true;
}

}  // namespace sim
