#include "Machine/Wmi/Wql.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

namespace sim {
namespace wql {

namespace {

// Bounds that keep the parser's recursion, and the tree's, shallow whatever the text.
constexpr int kMaxNesting = 100;
constexpr int kMaxConditions = 1000;

// Thrown inside the parser; Parse turns it into false and a reason.
struct Malformed {
    std::string reason;
};

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool IsNameStart(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_';
}

bool IsNameChar(char16_t c) {
    return IsNameStart(c) || IsDigit(c);
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

std::u16string_view Trim(std::u16string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlank(text[first])) {
        ++first;
    }
    while (last > first && IsBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

// Its text views the query, or for a string the lexer's copy without quotes and escapes: valid
// until the lexer's next token.
struct Token {
    enum class Kind { End, Name, Number, String, Symbol };

    Kind kind = Kind::End;
    std::u16string_view text;  // a string's text without quotes; a symbol's characters
};

class Lexer {
public:
    explicit Lexer(const std::u16string& text) : m_text(text) {}

    Token Next() {
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) {
            ++m_pos;
        }
        if (m_pos == m_text.size()) {
            return Token{};
        }
        char16_t c = m_text[m_pos];
        if (IsNameStart(c)) {
            return Take(Token::Kind::Name, Span(IsNameChar));
        }
        if (IsDigit(c) || (c == u'-' && IsDigit(At(m_pos + 1)))) {
            return Number();
        }
        if (c == u'\'' || c == u'"') {
            return String(c);
        }
        return Symbol();
    }

    // The text up to the closing brace, with the lexer then past it. A brace inside a quoted
    // key value ("Microsoft:{GUID}") does not close the path.
    std::u16string_view BracedText() {
        size_t start = m_pos;
        char16_t quote = 0;
        for (; m_pos < m_text.size(); ++m_pos) {
            char16_t c = m_text[m_pos];
            if (quote != 0 && c == u'\\') {
                ++m_pos;
            } else if (quote != 0 && c == quote) {
                quote = 0;
            } else if (quote == 0 && (c == u'"' || c == u'\'')) {
                quote = c;
            } else if (quote == 0 && c == u'}') {
                return std::u16string_view(m_text).substr(start, m_pos++ - start);
            }
        }
        throw Malformed{"object path without a closing brace"};
    }

private:
    char16_t At(size_t pos) const { return pos < m_text.size() ? m_text[pos] : 0; }

    size_t Span(bool (*accepts)(char16_t)) {
        size_t end = m_pos + 1;
        while (end < m_text.size() && accepts(m_text[end])) {
            ++end;
        }
        return end;
    }

    Token Take(Token::Kind kind, size_t end) {
        Token token{kind, std::u16string_view(m_text).substr(m_pos, end - m_pos)};
        m_pos = end;
        return token;
    }

    Token Number() {
        size_t end = Span(IsDigit);
        if (At(end) == u'.' && IsDigit(At(end + 1))) {
            ++end;
            while (IsDigit(At(end))) {
                ++end;
            }
        }
        return Take(Token::Kind::Number, end);
    }

    // A backslash takes the next character as it is ('O\'Brien', "C:\\Windows").
    Token String(char16_t quote) {
        m_string.clear();
        for (++m_pos; m_pos < m_text.size(); ++m_pos) {
            char16_t c = m_text[m_pos];
            if (c == quote) {
                ++m_pos;
                return Token{Token::Kind::String, m_string};
            }
            if (c == u'\\' && m_pos + 1 < m_text.size()) {
                c = m_text[++m_pos];
            }
            m_string += c;
        }
        throw Malformed{"string without a closing quote"};
    }

    Token Symbol() {
        std::u16string_view two = std::u16string_view(m_text).substr(m_pos, 2);
        if (two == u"<>" || two == u"!=") {
            return Take(Token::Kind::Symbol, m_pos + 2);
        }
        if (std::u16string_view(u"*=(){,.").find(m_text[m_pos]) != std::u16string_view::npos) {
            return Take(Token::Kind::Symbol, m_pos + 1);
        }
        throw Malformed{"unexpected character"};
    }

    const std::u16string& m_text;
    size_t m_pos = 0;
    std::u16string m_string;  // the last string token's text
};

std::string Narrow(std::u16string_view text) {
    return std::string(text.begin(), text.end());  // a number's digits only
}

class Parser {
public:
    explicit Parser(const std::u16string& text) : m_lexer(text) { Advance(); }

    Query ParseQuery() {
        Query query;
        if (TakeKeyword(u"select")) {
            ParseSelect(query);
        } else if (TakeKeyword(u"associators")) {
            ParseAssociators(query);
        } else {
            throw Malformed{"expected SELECT or ASSOCIATORS"};
        }
        if (m_token.kind != Token::Kind::End) {
            throw Malformed{"unexpected text after the query"};
        }
        return query;
    }

private:
    void Advance() { m_token = m_lexer.Next(); }

    bool IsKeyword(const char16_t* word) const {
        return m_token.kind == Token::Kind::Name && CimNamesEqual(m_token.text, word);
    }

    bool TakeKeyword(const char16_t* word) {
        if (!IsKeyword(word)) {
            return false;
        }
        Advance();
        return true;
    }

    bool TakeSymbol(const char16_t* symbol) {
        if (m_token.kind != Token::Kind::Symbol || m_token.text != symbol) {
            return false;
        }
        Advance();
        return true;
    }

    void Expect(bool taken, const char* what) {
        if (!taken) {
            throw Malformed{std::string("expected ") + what};
        }
    }

    std::u16string ExpectName(const char* what) {
        Expect(m_token.kind == Token::Kind::Name, what);
        std::u16string name(m_token.text);
        Advance();
        return name;
    }

    void ParseSelect(Query& query) {
        if (!TakeSymbol(u"*")) {
            throw Malformed{"only SELECT * is answered"};
        }
        Expect(TakeKeyword(u"from"), "FROM");
        query.kind = Query::Kind::Select;
        query.className = ExpectName("a class after FROM");
        if (TakeKeyword(u"within")) {
            query.within = ParseInterval();
        }
        if (TakeKeyword(u"where")) {
            query.where = ParseOr();
        }
    }

    double ParseInterval() {
        Expect(m_token.kind == Token::Kind::Number, "a number after WITHIN");
        double seconds = std::strtod(Narrow(m_token.text).c_str(), nullptr);
        if (!(seconds > 0) || !std::isfinite(seconds)) {
            throw Malformed{"WITHIN needs a positive interval"};
        }
        Advance();
        return seconds;
    }

    void ParseAssociators(Query& query) {
        Expect(TakeKeyword(u"of"), "OF");
        // Checked before Advance: the lexer stands just past the brace.
        Expect(m_token.kind == Token::Kind::Symbol && m_token.text == u"{", "{");
        query.kind = Query::Kind::Associators;
        query.objectPath = std::u16string(Trim(m_lexer.BracedText()));
        if (query.objectPath.empty()) {
            throw Malformed{"empty object path"};
        }
        Advance();
        if (TakeKeyword(u"where")) {
            Expect(TakeKeyword(u"resultclass"), "ResultClass");
            Expect(TakeSymbol(u"="), "= after ResultClass");
            query.resultClass = ExpectName("a class after ResultClass");
        }
    }

    std::unique_ptr<Condition> NewCondition(Condition::Op op) {
        if (++m_conditions > kMaxConditions) {
            throw Malformed{"too many conditions"};
        }
        auto condition = std::make_unique<Condition>();
        condition->op = op;
        return condition;
    }

    std::unique_ptr<Condition> Combine(Condition::Op op, std::unique_ptr<Condition> left,
                                       std::unique_ptr<Condition> right) {
        auto both = NewCondition(op);
        both->operands.push_back(std::move(left));
        both->operands.push_back(std::move(right));
        return both;
    }

    // OR binds looser than AND, AND looser than NOT.
    std::unique_ptr<Condition> ParseOr() {
        auto left = ParseAnd();
        while (TakeKeyword(u"or")) {
            left = Combine(Condition::Op::Or, std::move(left), ParseAnd());
        }
        return left;
    }

    std::unique_ptr<Condition> ParseAnd() {
        auto left = ParseNot();
        while (TakeKeyword(u"and")) {
            left = Combine(Condition::Op::And, std::move(left), ParseNot());
        }
        return left;
    }

    std::unique_ptr<Condition> ParseNot() {
        if (!TakeKeyword(u"not")) {
            return ParsePrimary();
        }
        auto negation = NewCondition(Condition::Op::Not);
        negation->operands.push_back(ParseNot());
        return negation;
    }

    std::unique_ptr<Condition> ParsePrimary() {
        if (!TakeSymbol(u"(")) {
            return ParseComparison();
        }
        if (++m_nesting > kMaxNesting) {
            throw Malformed{"parentheses nested too deeply"};
        }
        auto inner = ParseOr();
        Expect(TakeSymbol(u")"), "a closing parenthesis");
        --m_nesting;
        return inner;
    }

    std::unique_ptr<Condition> ParseComparison() {
        std::u16string property = ExpectName("a property name");
        while (TakeSymbol(u".")) {
            property += u"." + ExpectName("a name after the dot");
        }
        std::unique_ptr<Condition> comparison;
        if (TakeKeyword(u"isa")) {
            comparison = NewCondition(Condition::Op::Isa);
            Expect(m_token.kind == Token::Kind::String, "a quoted class after ISA");
            comparison->literal = CimValue::Str(std::u16string(m_token.text));
            Advance();
        } else if (TakeSymbol(u"=")) {
            comparison = NewCondition(Condition::Op::Equal);
            comparison->literal = ParseLiteral();
        } else if (TakeSymbol(u"<>") || TakeSymbol(u"!=")) {
            comparison = NewCondition(Condition::Op::NotEqual);
            comparison->literal = ParseLiteral();
        } else {
            throw Malformed{"expected =, <>, != or ISA"};
        }
        comparison->property = std::move(property);
        return comparison;
    }

    CimValue ParseLiteral() {
        CimValue value;
        if (m_token.kind == Token::Kind::String) {
            value = CimValue::Str(std::u16string(m_token.text));
        } else if (m_token.kind == Token::Kind::Number) {
            value = CimValue::Int(ParseInteger(m_token.text));
        } else if (IsKeyword(u"true") || IsKeyword(u"false")) {
            value = CimValue::Bool(IsKeyword(u"true"));
        } else if (!IsKeyword(u"null")) {
            throw Malformed{"expected a literal"};
        }
        Advance();
        return value;
    }

    static long long ParseInteger(std::u16string_view digits) {
        if (digits.find(u'.') != std::u16string::npos) {
            throw Malformed{"only integers compare"};
        }
        errno = 0;
        long long value = std::strtoll(Narrow(digits).c_str(), nullptr, 10);
        if (errno == ERANGE) {
            throw Malformed{"integer out of range"};
        }
        return value;
    }

    Lexer m_lexer;
    Token m_token;
    int m_nesting = 0;
    int m_conditions = 0;
};

enum class Comparison { Unknown, Same, Different };

// WQL compares like kinds only, plus a boolean with 1 or 0; anything else, a missing property
// or a NULL included, is unknown, which makes both = and <> false.
Comparison Compare(const CimValue* value, const CimValue& literal) {
    using Kind = CimValue::Kind;
    if (value == nullptr || value->kind == Kind::Null || literal.kind == Kind::Null) {
        return Comparison::Unknown;
    }
    bool same = false;
    if (value->kind != literal.kind) {
        const CimValue& boolean = value->kind == Kind::Boolean ? *value : literal;
        const CimValue& integer = value->kind == Kind::Integer ? *value : literal;
        if (boolean.kind != Kind::Boolean || integer.kind != Kind::Integer) {
            return Comparison::Unknown;
        }
        same = (boolean.boolean ? 1 : 0) == integer.integer;
    } else if (value->kind == Kind::String) {
        same = CimNamesEqual(value->text, literal.text);
    } else if (value->kind == Kind::Integer) {
        same = value->integer == literal.integer;
    } else {
        same = value->boolean == literal.boolean;
    }
    return same ? Comparison::Same : Comparison::Different;
}

void CollectIsa(const Condition& condition, std::vector<std::u16string>& classes) {
    if (condition.op == Condition::Op::Isa) {
        classes.push_back(condition.literal.text);
    }
    for (const auto& operand : condition.operands) {
        CollectIsa(*operand, classes);
    }
}

}  // namespace

bool Parse(const std::u16string& text, Query& out, std::string* error) {
    try {
        out = Parser(text).ParseQuery();
        return true;
    } catch (const Malformed& malformed) {
        if (error != nullptr) {
            *error = malformed.reason;
        }
        return false;
    }
}

bool Matches(const Condition& condition, const Subject& subject) {
    switch (condition.op) {
        case Condition::Op::And:
            return Matches(*condition.operands[0], subject) &&
                   Matches(*condition.operands[1], subject);
        case Condition::Op::Or:
            return Matches(*condition.operands[0], subject) ||
                   Matches(*condition.operands[1], subject);
        case Condition::Op::Not:
            return !Matches(*condition.operands[0], subject);
        case Condition::Op::Isa:
            return subject.IsA(condition.property, condition.literal.text);
        case Condition::Op::Equal:
            return Compare(subject.Property(condition.property), condition.literal) ==
                   Comparison::Same;
        case Condition::Op::NotEqual:
            return Compare(subject.Property(condition.property), condition.literal) ==
                   Comparison::Different;
    }
    return false;
}

std::vector<std::u16string> IsaClasses(const Condition& condition) {
    std::vector<std::u16string> classes;
    CollectIsa(condition, classes);
    return classes;
}

}  // namespace wql
}  // namespace sim
