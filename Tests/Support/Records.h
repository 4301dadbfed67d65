// The machine's records (one JSON object a line) as the tests compare them: a record's chosen
// fields in one line of text, so one comparison shows every field that differs.
#pragma once

#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"

#include <string>
#include <vector>

namespace test {

inline std::string FieldText(const sim::Json* value) {
    if (value == nullptr) {
        return "(none)";
    }
    if (value->IsString()) {
        return value->String();
    }
    if (value->IsNumber()) {
        return std::to_string(static_cast<long long>(value->Number()));
    }
    if (value->IsArray()) {
        std::string items;
        for (const sim::Json& item : value->Items()) {
            items += (items.empty() ? "" : ",") + FieldText(&item);
        }
        return "[" + items + "]";
    }
    return value->IsNull() ? "null" : "(object)";
}

// "a|b|c" for the fields a, b and c; a field's path may go into objects and arrays
// ("list.entries.0.mac").
inline std::string Fields(const sim::Json& record, const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths) {
        const sim::Json* value = &record;
        for (size_t start = 0, dot = 0; value != nullptr && dot != std::string::npos;
             start = dot + 1) {
            dot = path.find('.', start);
            std::string step = path.substr(start, dot - start);
            if (value->IsArray()) {
                size_t index = std::stoul(step);
                value = index < value->Items().size() ? &value->Items()[index] : nullptr;
            } else {
                value = value->Find(step);
            }
        }
        text += (text.empty() ? "" : "|") + FieldText(value);
    }
    return text;
}

// The records of one of this process's machine's files, from the `from`-th on.
inline std::vector<sim::Json> Records(const std::string& file, size_t from = 0) {
    std::vector<sim::Json> records;
    std::vector<std::string> lines = sim::Machine::Get().Records(file);
    for (size_t i = from; i < lines.size(); ++i) {
        records.push_back(sim::Json::Parse(lines[i]));
    }
    return records;
}

}  // namespace test
