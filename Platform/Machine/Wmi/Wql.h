// WQL, the WMI query language, as far as this machine answers it:
//
//   SELECT * FROM class [WHERE condition]
//   ASSOCIATORS OF {object path} [WHERE ResultClass = class]
//   SELECT * FROM event-class WITHIN seconds [WHERE condition]
//
// A condition combines comparisons with AND, OR, NOT and parentheses; a comparison is
// `property = literal`, `property <> literal` (also `!=`), or `property ISA 'class'`, where a
// literal is a string in single or double quotes, an integer, TRUE, FALSE or NULL. Keywords and
// names are case-insensitive; blanks between tokens are optional where WQL allows it.
#pragma once

#include "Machine/Wmi/Cim.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {
namespace wql {

struct Condition {
    enum class Op { And, Or, Not, Equal, NotEqual, Isa };

    Op op = Op::Equal;
    std::u16string property;  // Equal, NotEqual, Isa: a name, possibly dotted ("TargetInstance")
    CimValue literal;         // Equal, NotEqual; Isa: the class name as a string
    std::vector<std::unique_ptr<Condition>> operands;  // And, Or: two; Not: one
};

struct Query {
    enum class Kind { Select, Associators };

    Kind kind = Kind::Select;
    std::u16string className;          // Select: the class after FROM (an event class for events)
    double within = 0;                 // Select: the WITHIN interval in seconds; 0 when absent
    std::unique_ptr<Condition> where;  // Select: null when there is no WHERE
    std::u16string objectPath;         // Associators: the path between the braces
    std::u16string resultClass;        // Associators: empty when there is no ResultClass
};

// Parses one query. False, with a short reason in `error` when given, for text that is not WQL
// of the forms above; `out` is then unchanged.
bool Parse(const std::u16string& text, Query& out, std::string* error = nullptr);

// What a condition is evaluated against: an instance, or an event with its TargetInstance.
class Subject {
public:
    virtual ~Subject() = default;
    // The value of a property (null when the subject has none).
    virtual const CimValue* Property(const std::u16string& name) const = 0;
    // Whether the object the property names is of the class or a subclass.
    virtual bool IsA(const std::u16string& property, const std::u16string& className) const = 0;
};

// WQL's rules: a comparison with a property the subject lacks, or with NULL, is false (NOT of it
// true); strings compare without case; a boolean equals TRUE/FALSE and also 1/0.
bool Matches(const Condition& condition, const Subject& subject);

// Every class an ISA comparison of the condition names, in the order written.
std::vector<std::u16string> IsaClasses(const Condition& condition);

}  // namespace wql
}  // namespace sim
