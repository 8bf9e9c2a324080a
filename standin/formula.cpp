// The formula evaluator. A formula is parsed whole into a tree first, so a formula that does
// not parse calls no function (and no resolver) at all; the tree is then evaluated the way
// Excel evaluates an array formula: operators and the simple functions apply element by element
// when an operand is an array.
#include "standin/formula.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/host/serial_date.h"
#include "standin/number_format.h"

namespace tb::standin {

namespace {

constexpr std::size_t application_formula_limit = 255;
constexpr std::size_t cell_formula_limit = 8192;
constexpr std::size_t text_literal_limit = 255;
constexpr std::size_t cell_text_limit = 32767;
// Nesting of parentheses, signs and function calls; keeps the recursive parser off the end of
// the stack (Excel allows 64 levels of function nesting).
constexpr int nesting_limit = 200;
// Formula cells evaluated inside one another while a recalculation reads them.
constexpr std::size_t chain_limit = 128;
// Defined names evaluated inside one another (each nests a parse and an evaluation).
constexpr int name_depth_limit = 64;

Value xl(std::int32_t number) {
    return Value::xl_error(number);
}

struct ParseError {
    std::string message;
};

struct RefSpec {
    std::optional<std::u16string> sheet;
    Rect rect;
    std::u16string name;  // a defined name qualified by its sheet ("Sheet1!Items"), or empty
};

enum class NodeType : std::uint8_t {
    Literal,
    Reference,
    Name,  // a defined name, as written; ref.sheet when qualified by a sheet
    Missing,
    Negate,
    Percent,
    Binary,
    Call,
    Union,  // (A1:A2,C1:C2): the areas of its references in order
};

enum class BinOp : std::uint8_t { Eq, Ne, Lt, Gt, Le, Ge, Concat, Add, Sub, Mul, Div, Pow };

struct Node {
    NodeType type = NodeType::Literal;
    Value value;
    RefSpec ref;
    std::u16string name;  // a function's in upper case; a defined name's as written
    BinOp op = BinOp::Add;
    std::vector<Node> kids;
};

// --- built-in functions ------------------------------------------------------------------

struct Operand;
struct Context;

// A worksheet function the evaluator knows: its name, how many arguments it takes (the parser
// checks), and what evaluates a call of it, arguments included. The table of them is below the
// functions themselves.
struct Builtin {
    std::u16string_view name;
    std::uint8_t min_args;
    std::uint8_t max_args;
    Operand (*call)(const Context& ctx, const Node& node);
};

const Builtin* find_builtin(std::u16string_view name);

// --- characters --------------------------------------------------------------------------

bool is_letter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool is_digit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
bool is_name_char(char16_t c) {
    return is_letter(c) || is_digit(c) || c == u'_' || c == u'.' || c == u'\\' || c >= 0x80;
}
char16_t upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

struct ErrorName {
    std::u16string_view text;
    std::int32_t number;
};
constexpr ErrorName error_names[] = {
    {u"#NULL!", xlerr::null_}, {u"#DIV/0!", xlerr::div0}, {u"#VALUE!", xlerr::value},
    {u"#REF!", xlerr::ref},    {u"#NAME?", xlerr::name},  {u"#NUM!", xlerr::num},
    {u"#N/A", xlerr::na},
};

// --- the parser --------------------------------------------------------------------------

class Parser {
  public:
    Parser(std::u16string_view text, std::uint32_t max_rows, std::uint32_t max_columns)
        : text_(text), max_rows_(max_rows), max_columns_(max_columns) {}

    bool literal_too_long = false;

    Node formula() {
        skip_blanks();
        if (peek() == u'=') ++pos_;
        skip_blanks();
        if (at_end()) error("the formula is empty");
        Node root = expression();
        skip_blanks();
        if (!at_end()) error("unexpected text at position " + std::to_string(pos_ + 1));
        return root;
    }

    // The whole text as one reference, if it is one.
    std::optional<RefSpec> reference_only() {
        try {
            skip_blanks();
            auto ref = reference();
            skip_blanks();
            if (ref && ref->name.empty() && at_end()) return ref;
        } catch (const ParseError&) {
        }
        return std::nullopt;
    }

  private:
    [[noreturn]] void error(std::string message) { throw ParseError{std::move(message)}; }
    bool at_end() const { return pos_ >= text_.size(); }
    char16_t peek(std::size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : u'\0';
    }
    void skip_blanks() {
        while (!at_end() && (text_[pos_] == u' ' || text_[pos_] == u'\n' || text_[pos_] == u'\r' ||
                             text_[pos_] == u'\t'))
            ++pos_;
    }
    void expect(char16_t c, const char* what) {
        skip_blanks();
        if (peek() != c) error(std::string("expected ") + what);
        ++pos_;
    }

    Node binary(BinOp op, Node left, Node right) {
        Node n;
        n.type = NodeType::Binary;
        n.op = op;
        n.kids.push_back(std::move(left));
        n.kids.push_back(std::move(right));
        return n;
    }

    // Counts one level of nesting for as long as it lives.
    struct Nested {
        explicit Nested(Parser& p) : parser(p) {
            if (++parser.depth_ > nesting_limit) parser.error("the formula is nested too deeply");
        }
        ~Nested() { --parser.depth_; }
        Nested(const Nested&) = delete;
        Nested& operator=(const Nested&) = delete;
        Parser& parser;
    };

    Node expression() {  // comparisons, lowest precedence
        const Nested level(*this);
        Node left = concatenation();
        for (;;) {
            skip_blanks();
            BinOp op;
            const char16_t c = peek();
            const char16_t d = peek(1);
            std::size_t width = 1;
            if (c == u'=') {
                op = BinOp::Eq;
            } else if (c == u'<' && d == u'>') {
                op = BinOp::Ne, width = 2;
            } else if (c == u'<' && d == u'=') {
                op = BinOp::Le, width = 2;
            } else if (c == u'>' && d == u'=') {
                op = BinOp::Ge, width = 2;
            } else if (c == u'<') {
                op = BinOp::Lt;
            } else if (c == u'>') {
                op = BinOp::Gt;
            } else {
                return left;
            }
            pos_ += width;
            left = binary(op, std::move(left), concatenation());
        }
    }

    Node concatenation() {
        Node left = additive();
        for (;;) {
            skip_blanks();
            if (peek() != u'&') return left;
            ++pos_;
            left = binary(BinOp::Concat, std::move(left), additive());
        }
    }

    Node additive() {
        Node left = multiplicative();
        for (;;) {
            skip_blanks();
            const char16_t c = peek();
            if (c != u'+' && c != u'-') return left;
            ++pos_;
            left = binary(c == u'+' ? BinOp::Add : BinOp::Sub, std::move(left), multiplicative());
        }
    }

    Node multiplicative() {
        Node left = power();
        for (;;) {
            skip_blanks();
            const char16_t c = peek();
            if (c != u'*' && c != u'/') return left;
            ++pos_;
            left = binary(c == u'*' ? BinOp::Mul : BinOp::Div, std::move(left), power());
        }
    }

    // '^' is left-associative in Excel (2^3^2 = 64), and binds looser than negation
    // (-2^2 = 4).
    Node power() {
        Node left = percent();
        for (;;) {
            skip_blanks();
            if (peek() != u'^') return left;
            ++pos_;
            left = binary(BinOp::Pow, std::move(left), percent());
        }
    }

    Node percent() {
        Node n = unary();
        for (;;) {
            skip_blanks();
            if (peek() != u'%') return n;
            ++pos_;
            Node p;
            p.type = NodeType::Percent;
            p.kids.push_back(std::move(n));
            n = std::move(p);
        }
    }

    Node unary() {
        const Nested level(*this);
        skip_blanks();
        if (peek() == u'-') {
            ++pos_;
            Node n;
            n.type = NodeType::Negate;
            n.kids.push_back(unary());
            return n;
        }
        if (peek() == u'+') {
            ++pos_;
            return unary();
        }
        return primary();
    }

    Node literal(Value v) {
        Node n;
        n.value = std::move(v);
        return n;
    }

    Node primary() {
        skip_blanks();
        const char16_t c = peek();
        if (at_end()) error("an operand is missing at the end");
        if (c == u'(') {
            ++pos_;
            Node inner = expression();
            skip_blanks();
            if (peek() == u',') {  // the union operator, inside parentheses only
                Node u;
                u.type = NodeType::Union;
                u.kids.push_back(std::move(inner));
                while (peek() == u',') {
                    ++pos_;
                    u.kids.push_back(expression());
                    skip_blanks();
                }
                inner = std::move(u);
            }
            expect(u')', "')'");
            return inner;
        }
        if (c == u'"') return literal(string_literal());
        if (c == u'{') return literal(array_constant());
        if (c == u'#') return literal(error_literal());
        if (c == u'\'' || c == u'$' || is_digit(c) || is_letter(c) || c == u'.' || c == u'_' ||
            c >= 0x80) {
            const std::size_t start = pos_;
            if (auto ref = reference()) {
                Node n;
                n.type = ref->name.empty() ? NodeType::Reference : NodeType::Name;
                n.name = ref->name;
                n.ref = std::move(*ref);
                return n;
            }
            pos_ = start;
            if (is_digit(c) || c == u'.') return literal(Value::number(number()));
            return name_or_call();
        }
        error("unexpected character at position " + std::to_string(pos_ + 1));
    }

    double number() {
        const std::size_t start = pos_;
        while (is_digit(peek()))
            ++pos_;
        if (peek() == u'.') {
            ++pos_;
            while (is_digit(peek()))
                ++pos_;
        }
        if (pos_ == start || (pos_ == start + 1 && text_[start] == u'.'))
            error("a number is malformed");
        if (upper(peek()) == u'E') {
            std::size_t p = pos_ + 1;
            if (p < text_.size() && (text_[p] == u'+' || text_[p] == u'-')) ++p;
            if (p < text_.size() && is_digit(text_[p])) {
                pos_ = p;
                while (is_digit(peek()))
                    ++pos_;
            }
        }
        std::string ascii;
        for (std::size_t i = start; i < pos_; ++i)
            ascii += static_cast<char>(text_[i]);
        if (is_name_char(peek())) error("a number is followed by a name");
        return std::strtod(ascii.c_str(), nullptr);
    }

    Value string_literal() {
        ++pos_;  // opening quote
        std::u16string s;
        for (;;) {
            if (at_end()) error("a text has no closing quote");
            const char16_t c = text_[pos_++];
            if (c == u'"') {
                if (peek() != u'"') break;
                ++pos_;
            }
            s += c;
        }
        if (s.size() > text_literal_limit) literal_too_long = true;
        return Value::string(std::move(s));
    }

    Value error_literal() {
        for (const ErrorName& e : error_names) {
            if (text_.size() - pos_ < e.text.size()) continue;
            bool same = true;
            for (std::size_t i = 0; i < e.text.size() && same; ++i)
                same = upper(text_[pos_ + i]) == e.text[i];
            if (same) {
                pos_ += e.text.size();
                return xl(e.number);
            }
        }
        error("an unknown error value");
    }

    Value array_element() {
        skip_blanks();
        const char16_t c = peek();
        if (c == u'"') return string_literal();
        if (c == u'#') return error_literal();
        if (c == u'-' || c == u'+' || is_digit(c) || c == u'.') {
            double sign = 1;
            if (c == u'-' || c == u'+') {
                sign = c == u'-' ? -1 : 1;
                ++pos_;
                skip_blanks();
            }
            return Value::number(sign * number());
        }
        const std::size_t start = pos_;
        while (is_name_char(peek()))
            ++pos_;
        std::u16string word = to_upper(text_.substr(start, pos_ - start));
        if (word == u"TRUE" || word == u"FALSE") return Value::boolean(word == u"TRUE");
        error("an array constant holds something other than a constant");
    }

    Value array_constant() {
        ++pos_;  // '{'
        std::vector<Value> elements;
        std::uint32_t rows = 0;
        std::uint32_t columns = 0;
        std::uint32_t in_row = 0;
        for (;;) {
            elements.push_back(array_element());
            ++in_row;
            skip_blanks();
            const char16_t c = peek();
            if (c == u',') {
                ++pos_;
                continue;
            }
            if (c != u';' && c != u'}') error("expected ',', ';' or '}' in an array constant");
            ++pos_;
            if (rows == 0) columns = in_row;
            if (in_row != columns) error("the rows of an array constant differ in length");
            ++rows;
            in_row = 0;
            if (c == u'}') break;
        }
        return Value::array(Array::grid(rows, columns, std::move(elements)));
    }

    Node name_or_call() {
        const std::size_t start = pos_;
        while (is_name_char(peek()))
            ++pos_;
        if (pos_ == start) error("unexpected character at position " + std::to_string(pos_ + 1));
        Node n;
        n.name = to_upper(text_.substr(start, pos_ - start));
        skip_blanks();
        if (peek() != u'(') {
            if (n.name == u"TRUE" || n.name == u"FALSE")
                return literal(Value::boolean(n.name == u"TRUE"));
            n.type = NodeType::Name;
            n.name = text_.substr(start, pos_ - start);
            return n;
        }
        ++pos_;
        n.type = NodeType::Call;
        // Files write the functions newer than their format with a prefix.
        if (n.name.starts_with(u"_XLFN.")) n.name.erase(0, 6);
        skip_blanks();
        if (peek() == u')') {
            ++pos_;
        } else {
            for (;;) {
                skip_blanks();
                if (peek() == u',' || peek() == u')') {
                    Node missing;
                    missing.type = NodeType::Missing;
                    n.kids.push_back(std::move(missing));
                } else {
                    n.kids.push_back(expression());
                }
                skip_blanks();
                if (peek() == u',') {
                    ++pos_;
                    continue;
                }
                if (peek() == u')') {
                    ++pos_;
                    break;
                }
                error("expected ',' or ')' in the arguments of " + utf8(n.name));
            }
        }
        if (const Builtin* b = find_builtin(n.name)) {
            if (n.kids.size() < b->min_args || n.kids.size() > b->max_args)
                error("wrong number of arguments to " + utf8(n.name));
        }
        return n;
    }

    // --- references ---

    struct Part {
        std::uint32_t row = 0;     // 0: none
        std::uint32_t column = 0;  // 0: none
    };

    // [$]letters[$]digits, [$]letters or [$]digits, within the grid; pos_ moves past it.
    Part part() {
        Part p;
        std::size_t at = pos_;
        auto dollar = [&] {
            if (at < text_.size() && text_[at] == u'$') ++at;
        };
        dollar();
        std::uint64_t column = 0;
        std::size_t letters = 0;
        while (at < text_.size() && is_letter(text_[at]) && letters < 4) {
            column = column * 26 + (upper(text_[at]) - u'A' + 1);
            ++at, ++letters;
        }
        if (letters > 3 || column > max_columns_) return {};
        if (letters > 0) {
            const std::size_t before = at;
            dollar();
            if (at > before && !(at < text_.size() && is_digit(text_[at]))) return {};
        }
        std::uint64_t row = 0;
        std::size_t digits = 0;
        while (at < text_.size() && is_digit(text_[at]) && digits < 9) {
            row = row * 10 + (text_[at] - u'0');
            ++at, ++digits;
        }
        if (letters == 0 && digits == 0) return {};
        if (digits > 0 && (row == 0 || row > max_rows_)) return {};
        if (at < text_.size() && is_digit(text_[at])) return {};
        p.column = static_cast<std::uint32_t>(column);
        p.row = static_cast<std::uint32_t>(row);
        pos_ = at;
        return p;
    }

    std::optional<Rect> area() {
        const std::size_t start = pos_;
        Part first = part();
        if (first.row == 0 && first.column == 0) return std::nullopt;
        Part second = first;
        if (peek() == u':') {
            ++pos_;
            second = part();
            const bool both_cells = first.row && first.column && second.row && second.column;
            const bool both_columns = !first.row && !second.row && first.column && second.column;
            const bool both_rows = !first.column && !second.column && first.row && second.row;
            if (!both_cells && !both_columns && !both_rows) {
                pos_ = start;
                return std::nullopt;
            }
        } else if (!first.row || !first.column) {
            pos_ = start;
            return std::nullopt;
        }
        Rect r;
        r.top = first.row ? std::min(first.row, second.row) : 1;
        r.bottom = first.row ? std::max(first.row, second.row) : max_rows_;
        r.left = first.column ? std::min(first.column, second.column) : 1;
        r.right = first.column ? std::max(first.column, second.column) : max_columns_;
        const char16_t next = peek();
        if (is_name_char(next) || next == u'(' || next == u'!' || next == u'$') {
            pos_ = start;
            return std::nullopt;
        }
        return r;
    }

    std::optional<RefSpec> reference() {
        const std::size_t start = pos_;
        RefSpec ref;
        if (peek() == u'\'') {
            ++pos_;
            std::u16string name;
            for (;;) {
                if (at_end()) error("a sheet name has no closing quote");
                const char16_t c = text_[pos_++];
                if (c == u'\'') {
                    if (peek() != u'\'') break;
                    ++pos_;
                }
                name += c;
            }
            if (peek() != u'!') error("expected '!' after a quoted sheet name");
            ++pos_;
            ref.sheet = std::move(name);
        } else {
            std::size_t at = pos_;
            while (at < text_.size() && is_name_char(text_[at]))
                ++at;
            if (at > pos_ && at < text_.size() && text_[at] == u'!') {
                ref.sheet = std::u16string(text_.substr(pos_, at - pos_));
                pos_ = at + 1;
            }
        }
        if (auto rect = area()) {
            ref.rect = *rect;
            return ref;
        }
        if (ref.sheet && (is_letter(peek()) || peek() == u'_' || peek() == u'\\')) {
            // A sheet's defined name: Sheet1!Items.
            const std::size_t name_start = pos_;
            while (is_name_char(peek()))
                ++pos_;
            ref.name = text_.substr(name_start, pos_ - name_start);
            if (peek() != u'(') return ref;
        }
        if (ref.sheet) error("expected a reference after the sheet name");
        pos_ = start;
        return std::nullopt;
    }

    std::u16string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    std::uint32_t max_rows_;
    std::uint32_t max_columns_;
};

// --- evaluation --------------------------------------------------------------------------

// A value, or a reference (area). A union of several areas is a value: its Range object.
struct Operand {
    Value value;
    std::optional<Area> area;
};

// The defined names evaluated for one formula: each once (nothing while it is being evaluated,
// so a name that refers to itself is caught), whatever the formula and its names repeat.
using NameValues = std::map<const DefinedName*, std::optional<Operand>>;

struct Context {
    const std::shared_ptr<State>& state;
    const FunctionResolver* resolver;  // null for Application.Evaluate: no notes either
    NameValues* names;
    int name_depth = 0;  // names being evaluated inside one another
};

std::optional<Area> resolve(const Context& ctx, const RefSpec& ref) {
    const State& s = *ctx.state;
    if (!s.active) return std::nullopt;
    if (!ref.sheet) return Area{*s.active, ref.rect};
    auto sheet = s.find_sheet(s.active->workbook, *ref.sheet);
    if (!sheet) return std::nullopt;
    return Area{*sheet, ref.rect};
}

Value deref(const Context& ctx, const Operand& op) {
    if (op.value.is_object()) return xl(xlerr::value);  // several areas have no one value
    if (op.area) return area_value(*ctx.state, *op.area, false);
    return op.value;
}

// Number as a formula reads an operand: empty 0, booleans 1/0, numeric text; else #VALUE!.
// Answers the error value to pass on, or an empty value when `out` holds the number.
Value as_number(const Value& v, double& out) {
    out = 0;
    if (v.is_missing() || v.is_empty()) return Value();
    if (v.is_error()) return v;
    if (v.is_boolean()) {
        out = v.boolean_value() ? 1 : 0;
        return Value();
    }
    if (v.is_number_kind() || v.is_date()) {
        out = v.to_number();
        return Value();
    }
    if (v.is_string() && parse_number(v.string_value(), out)) return Value();
    return xl(xlerr::value);
}

// Text as a formula reads an operand: numbers in General form, booleans TRUE/FALSE.
Value as_text(const Value& v, std::u16string& out) {
    out.clear();
    if (v.is_missing() || v.is_empty()) return Value();
    if (v.is_error()) return v;
    if (v.is_string()) {
        out = v.string_value();
        return Value();
    }
    if (v.is_boolean()) {
        out = v.boolean_value() ? u"TRUE" : u"FALSE";
        return Value();
    }
    if (v.is_number_kind() || v.is_date()) {
        out = general_text(v.to_number());
        return Value();
    }
    return xl(xlerr::value);
}

Value number_result(double d) {
    if (!std::isfinite(d)) return xl(xlerr::num);
    return Value::number(d == 0 ? 0.0 : d);  // no negative zero
}

// Rows and columns of an array value (a 1-D array is one row).
std::pair<std::uint32_t, std::uint32_t> dims(const Array& a) {
    if (a.dimensions() >= 2) return {a.bound(0).count, a.bound(1).count};
    return {1, a.dimensions() == 1 ? a.bound(0).count : 0};
}

const Value& element(const Array& a, std::uint32_t row, std::uint32_t column) {
    static const Value not_available = xl(xlerr::na);
    auto [rows, columns] = dims(a);
    if (rows == 1) row = 0;
    if (columns == 1) column = 0;
    if (row >= rows || column >= columns) return not_available;
    return a.elements()[std::size_t{row} * columns + column];
}

// Applies a scalar function element by element when any argument is an array, as an array
// formula does; a single row or column stretches over the others.
template <class F>
Value lift(std::span<const Value> args, F fn) {
    std::uint32_t rows = 0;
    std::uint32_t columns = 0;
    for (const Value& a : args) {
        if (!a.is_array()) continue;
        auto [r, c] = dims(a.array_value());
        rows = std::max(rows, r);
        columns = std::max(columns, c);
    }
    if (rows == 0 || columns == 0) {
        for (const Value& a : args)
            if (a.is_array()) return xl(xlerr::value);  // an empty array
        return fn(args);
    }
    if (std::uint64_t{rows} * columns > max_value_cells)
        fail(hr::out_of_memory, "the array result is too large");
    std::vector<Value> out;
    out.reserve(std::size_t{rows} * columns);
    std::vector<Value> scalars(args.size());
    for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < columns; ++c) {
            for (std::size_t i = 0; i < args.size(); ++i)
                scalars[i] = args[i].is_array() ? element(args[i].array_value(), r, c) : args[i];
            out.push_back(fn(std::span<const Value>(scalars)));
        }
    }
    return Value::array(Array::grid(rows, columns, std::move(out)));
}

Value concatenate(std::span<const Value> args) {
    std::u16string joined;
    std::u16string part;
    for (const Value& a : args) {
        Value err = as_text(a, part);
        if (!err.is_empty()) return err;
        joined += part;
        if (joined.size() > cell_text_limit) return xl(xlerr::value);
    }
    return Value::string(std::move(joined));
}

// Excel's comparison: numbers < texts < booleans; texts without regard to case; an empty
// operand stands for 0, "" or FALSE, whichever the other side is.
Value compare(BinOp op, const Value& a, const Value& b) {
    if (a.is_error_value()) return a;
    if (b.is_error_value()) return b;
    auto rank = [](const Value& v) {
        if (v.is_string()) return 1;
        if (v.is_boolean()) return 2;
        return 0;
    };
    auto blank = [](const Value& v) { return v.is_empty() || v.is_missing(); };
    Value left = a;
    Value right = b;
    if (blank(left) && !blank(right)) {
        left = rank(right) == 1   ? Value::string(u"")
               : rank(right) == 2 ? Value::boolean(false)
                                  : Value::number(0);
    }
    if (blank(right) && !blank(left)) {
        right = rank(left) == 1   ? Value::string(u"")
                : rank(left) == 2 ? Value::boolean(false)
                                  : Value::number(0);
    }
    int order = 0;
    if (blank(left) && blank(right)) {
        order = 0;
    } else if (rank(left) != rank(right)) {
        order = rank(left) < rank(right) ? -1 : 1;
    } else if (rank(left) == 1) {
        const std::u16string l = to_upper(left.string_value());
        const std::u16string r = to_upper(right.string_value());
        order = l < r ? -1 : l > r ? 1 : 0;
    } else if (rank(left) == 2) {
        order = int{left.boolean_value()} - int{right.boolean_value()};
    } else {
        const double l = left.to_number();
        const double r = right.to_number();
        order = l < r ? -1 : l > r ? 1 : 0;
    }
    switch (op) {
        case BinOp::Eq:
            return Value::boolean(order == 0);
        case BinOp::Ne:
            return Value::boolean(order != 0);
        case BinOp::Lt:
            return Value::boolean(order < 0);
        case BinOp::Gt:
            return Value::boolean(order > 0);
        case BinOp::Le:
            return Value::boolean(order <= 0);
        default:
            return Value::boolean(order >= 0);
    }
}

Value apply_binary(BinOp op, std::span<const Value> lr) {
    const Value& a = lr[0];
    const Value& b = lr[1];
    switch (op) {
        case BinOp::Eq:
        case BinOp::Ne:
        case BinOp::Lt:
        case BinOp::Gt:
        case BinOp::Le:
        case BinOp::Ge:
            return compare(op, a, b);
        case BinOp::Concat:
            return concatenate(lr);
        default:
            break;
    }
    double x = 0;
    double y = 0;
    if (Value err = as_number(a, x); !err.is_empty()) return err;
    if (Value err = as_number(b, y); !err.is_empty()) return err;
    switch (op) {
        case BinOp::Add:
            return number_result(x + y);
        case BinOp::Sub:
            return number_result(x - y);
        case BinOp::Mul:
            return number_result(x * y);
        case BinOp::Div:
            return y == 0 ? xl(xlerr::div0) : number_result(x / y);
        default:
            if (x == 0 && y == 0) return xl(xlerr::num);
            if (x == 0 && y < 0) return xl(xlerr::div0);
            return number_result(std::pow(x, y));
    }
}

// Whether the workbook of the sheet a formula is evaluated on counts dates from 1904.
bool active_in_1904_system(const State& s) {
    return s.active && in_1904_system(s, *s.active);
}

// DATE's serial in the formula's workbook's date system.
Value date_of(std::span<const Value> args, const State& s) {
    double p[3];
    for (std::size_t i = 0; i < 3; ++i)
        if (Value err = as_number(args[i], p[i]); !err.is_empty()) return err;
    if (p[0] < 0 || p[0] >= 10000 || std::fabs(p[1]) > 1e6 || std::fabs(p[2]) > 1e8)
        return xl(xlerr::num);
    auto year = static_cast<std::int64_t>(std::trunc(p[0]));
    if (year < 1900) year += 1900;
    // Months and days beyond their range roll over, as Excel's DATE does.
    const auto months = static_cast<std::int64_t>(std::trunc(p[1])) - 1;
    const std::int64_t y = year + (months >= 0 ? months / 12 : (months - 11) / 12);
    const std::int64_t m = ((months % 12) + 12) % 12 + 1;
    // Day 1 of the OLE count is 1900-01-00, Excel's serial 0; days before it have no serial.
    const double ole =
        static_cast<double>(ole_days_of_civil(y, static_cast<int>(m), 1)) + std::trunc(p[2]) - 1;
    const double last_ole = ole_of_serial(static_cast<double>(last_serial));
    if (ole > last_ole) return xl(xlerr::num);
    if (active_in_1904_system(s)) {
        // Serial 0 is 1 January 1904; earlier days have no serial there.
        if (ole < date1904_offset) return xl(xlerr::num);
        return Value::number(ole - date1904_offset);
    }
    if (ole < 1) return xl(xlerr::num);
    return Value::number(serial_of_ole(ole));
}

Value time_of(std::span<const Value> args) {
    double p[3];
    for (std::size_t i = 0; i < 3; ++i)
        if (Value err = as_number(args[i], p[i]); !err.is_empty()) return err;
    const double seconds = std::trunc(p[0]) * 3600 + std::trunc(p[1]) * 60 + std::trunc(p[2]);
    if (seconds < 0) return xl(xlerr::num);
    return Value::number(std::fmod(seconds, 86400) / 86400);
}

// REPT, or only the length of its text when length_only: LEN(REPT(…)) is the host's limit
// probe, asked for texts up to a cell's length, and needs no text built.
Value rept(std::span<const Value> args, std::size_t limit, bool length_only) {
    std::u16string text;
    double times = 0;
    if (Value err = as_text(args[0], text); !err.is_empty()) return err;
    if (Value err = as_number(args[1], times); !err.is_empty()) return err;
    times = std::trunc(times);
    if (times < 0) return xl(xlerr::value);
    const double length = static_cast<double>(text.size()) * times;
    if (length > static_cast<double>(limit)) return xl(xlerr::value);
    if (length_only) return Value::number(length);
    if (text.empty()) return Value::string(u"");
    std::u16string out;
    const auto n = static_cast<std::size_t>(times);
    out.reserve(text.size() * n);
    for (std::size_t i = 0; i < n; ++i)
        out += text;
    return Value::string(std::move(out));
}

Value text_function(std::span<const Value> args, const State& s) {
    std::u16string format;
    if (Value err = as_text(args[1], format); !err.is_empty()) return err;
    if (args[0].is_error_value()) return args[0];
    double d = 0;
    if (args[0].is_string() && !parse_number(args[0].string_value(), d))
        return Value::string(format_cell_text(args[0], format));
    if (Value err = as_number(args[0], d); !err.is_empty()) return err;
    return Value::string(format_cell_text(Value::number(d), format, active_in_1904_system(s)));
}

// Lower case: the letters to_upper maps, mapped back.
char16_t lower(char16_t c) {
    if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 0x20) : c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F))
        return static_cast<char16_t>(c + 0x20);
    if (c == 0x178) return 0xFF;
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return (c & 1) ? c : static_cast<char16_t>(c + 1);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1) ? static_cast<char16_t>(c + 1) : c;
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
    return c;
}

// UPPER, LOWER and PROPER (which capitalises a letter after anything but a letter, as Excel
// does: "76budGET o'neil" becomes "76Budget O'Neil").
enum class Casing : std::uint8_t { Upper, Lower, Proper };
template <Casing casing>
Value case_function(std::span<const Value> v, const State&) {
    std::u16string text;
    if (Value err = as_text(v[0], text); !err.is_empty()) return err;
    if (casing == Casing::Upper) return Value::string(to_upper(text));
    bool after_letter = false;
    for (char16_t& c : text) {
        const char16_t up = upper(c);
        const char16_t down = lower(c);
        const bool letter = up != c || down != c;
        c = casing == Casing::Proper && letter && !after_letter ? up : down;
        after_letter = letter;
    }
    return Value::string(std::move(text));
}

// A count or position argument: truncated to a whole number, at least `least`; capped, since
// no text is longer.
Value whole_argument(const Value& v, double least, std::size_t& out) {
    double d = 0;
    if (Value err = as_number(v, d); !err.is_empty()) return err;
    d = std::trunc(d);
    if (d < least) return xl(xlerr::value);
    out = d > 1e9 ? std::size_t{1000000000} : static_cast<std::size_t>(d);
    return Value();
}

// LEFT, RIGHT (count, default 1) and MID (start from 1, count), in UTF-16 units as Excel counts.
enum class Part : std::uint8_t { Left, Right, Mid };
template <Part part>
Value part_function(std::span<const Value> v, const State&) {
    std::u16string text;
    if (Value err = as_text(v[0], text); !err.is_empty()) return err;
    std::size_t start = 1;
    std::size_t count = 1;
    if (part == Part::Mid) {
        if (Value err = whole_argument(v[1], 1, start); !err.is_empty()) return err;
        if (Value err = whole_argument(v[2], 0, count); !err.is_empty()) return err;
    } else if (v.size() > 1) {
        if (Value err = whole_argument(v[1], 0, count); !err.is_empty()) return err;
    }
    count = std::min(count, text.size());
    if (part == Part::Left) return Value::string(text.substr(0, count));
    if (part == Part::Right) return Value::string(text.substr(text.size() - count));
    if (start > text.size()) return Value::string(u"");
    return Value::string(text.substr(start - 1, count));
}

// TRIM: no spaces (U+0020) at either end, and single ones between words.
Value trim_function(std::span<const Value> v, const State&) {
    std::u16string text;
    if (Value err = as_text(v[0], text); !err.is_empty()) return err;
    std::u16string out;
    for (const char16_t c : text) {
        if (c == u' ' && (out.empty() || out.back() == u' ')) continue;
        out += c;
    }
    if (!out.empty() && out.back() == u' ') out.pop_back();
    return Value::string(std::move(out));
}

// SUBSTITUTE(text, old, new, [instance]): every occurrence (letter case counts), or only the
// nth; an empty old text changes nothing.
Value substitute_function(std::span<const Value> v, const State& state) {
    std::u16string text;
    std::u16string from;
    std::u16string to;
    if (Value err = as_text(v[0], text); !err.is_empty()) return err;
    if (Value err = as_text(v[1], from); !err.is_empty()) return err;
    if (Value err = as_text(v[2], to); !err.is_empty()) return err;
    std::size_t instance = 0;  // 0: every one
    if (v.size() > 3) {
        if (Value err = whole_argument(v[3], 1, instance); !err.is_empty()) return err;
    }
    if (from.empty()) return Value::string(std::move(text));
    std::u16string out;
    std::size_t at = 0;
    std::size_t seen = 0;
    for (std::size_t found = text.find(from); found != std::u16string::npos;
         found = text.find(from, found + from.size())) {
        if (instance != 0 && ++seen != instance) continue;
        out.append(text, at, found - at);
        out += to;
        at = found + from.size();
        if (instance != 0 || out.size() > state.cell_text_limit) break;
    }
    out.append(text, at);
    if (out.size() > state.cell_text_limit) return xl(xlerr::value);
    return Value::string(std::move(out));
}

// CHAR: a character of Windows code page 1252 (1 to 255), as Excel gives it in the West;
// UNICHAR: any Unicode code point but a surrogate (#N/A).
constexpr char16_t cp1252_80_to_9f[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
template <bool unicode>
Value char_function(std::span<const Value> v, const State&) {
    double d = 0;
    if (Value err = as_number(v[0], d); !err.is_empty()) return err;
    d = std::trunc(d);
    if (d < 1 || d > (unicode ? 0x10FFFF : 255)) return xl(xlerr::value);
    const auto code = static_cast<std::uint32_t>(d);
    if (!unicode) {
        const char16_t c = code >= 0x80 && code < 0xA0 ? cp1252_80_to_9f[code - 0x80]
                                                       : static_cast<char16_t>(code);
        return Value::string(std::u16string(1, c));
    }
    if (code >= 0xD800 && code <= 0xDFFF) return xl(xlerr::na);
    std::u16string text;
    if (code < 0x10000) {
        text += static_cast<char16_t>(code);
    } else {
        text += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
        text += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
    return Value::string(std::move(text));
}

Value len_function(std::span<const Value> v, const State&) {
    std::u16string text;
    if (Value err = as_text(v[0], text); !err.is_empty()) return err;
    return Value::number(static_cast<double>(text.size()));
}

Value iserror_function(std::span<const Value> v, const State&) {
    return Value::boolean(v[0].is_error_value());
}

template <int constant>
Value constant_function(std::span<const Value>, const State&) {
    return constant < 0 ? xl(xlerr::na) : Value::boolean(constant != 0);
}

// SUM: numbers given directly (texts read as numbers); in references and arrays only numbers.
Value sum(const Context& ctx, const std::vector<Operand>& args) {
    double total = 0;
    auto add_block = [&](const Value& v) -> Value {
        if (v.is_number_kind() || v.is_date()) total += v.to_number();
        if (v.is_error_value()) return v;
        return Value();
    };
    std::vector<Operand> split;  // each area of a union on its own
    for (const Operand& op : args) {
        if (!op.value.is_object()) split.push_back(op);
        if (op.value.is_object() && op.value.object_value())
            for (const Area& area : areas_of(op.value.object_value().get()))
                split.push_back({Value(), area});
    }
    for (const Operand& op : split) {
        if (op.area) {
            settle_formulas(*ctx.state, *op.area);
            const SheetData& data = ctx.state->sheet(op.area->sheet);
            const Rect& r = op.area->rect;
            if (data.cells.size() < r.area()) {
                for (const auto& [key, cell] : data.cells) {
                    const auto row = static_cast<std::uint32_t>(key >> 32);
                    const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
                    if (!r.contains(row, column)) continue;
                    if (Value err = add_block(cell.value); !err.is_empty()) return err;
                }
            } else {
                for (std::uint32_t row = r.top; row <= r.bottom; ++row)
                    for (std::uint32_t column = r.left; column <= r.right; ++column)
                        if (const auto cell = data.find(row, column))
                            if (Value err = add_block(cell->value); !err.is_empty()) return err;
            }
        } else if (op.value.is_array()) {
            for (const Value& v : op.value.array_value().elements())
                if (Value err = add_block(v); !err.is_empty()) return err;
        } else {
            double d = 0;
            if (Value err = as_number(op.value, d); !err.is_empty()) return err;
            total += d;
        }
    }
    return number_result(total);
}

// --- problems a recalculation reports --------------------------------------------------

std::u16string name_of(State& state, const Recalculation::CellId& id) {
    return cell_name(state.sheet(id.sheet).name, static_cast<std::uint32_t>(id.key >> 32),
                     static_cast<std::uint32_t>(id.key & 0xFFFFFFFFu));
}

// Records a problem of the cell being evaluated (or of the formula itself, outside any cell).
void note(State& state, const std::string& reason) {
    if (!state.recalc) return;
    std::string line;
    if (!state.recalc->computing.empty())
        line = utf8(name_of(state, state.recalc->computing.back())) + ": ";
    state.recalc->problems.push_back(line + reason);
}

// Something the evaluator cannot compute (a function or a name it does not know): #NAME?, as
// in Excel, and for a formula of a cell or of the command line, a note. A formula cell notes it
// once it is done, since it then keeps the value its file saved, if any.
Operand cannot_compute(const Context& ctx, const std::string& what) {
    State& s = *ctx.state;
    if (ctx.resolver && s.recalc) {
        std::vector<std::string>& pending = s.recalc->cannot_compute;
        if (s.recalc->computing.empty()) {
            note(s, what + " (gives #NAME?)");
        } else if (std::find(pending.begin(), pending.end(), what) == pending.end()) {
            pending.push_back(what);
        }
    }
    return {xl(xlerr::name), std::nullopt};
}

Operand evaluate(const Context& ctx, const Node& node);

// The values of a call's arguments, references read as their cells.
std::vector<Value> argument_values(const Context& ctx, const Node& node) {
    std::vector<Value> values;
    values.reserve(node.kids.size());
    for (const Node& kid : node.kids)
        values.push_back(deref(ctx, evaluate(ctx, kid)));
    return values;
}

// A function of plain values, applied element by element over arrays.
template <Value (*F)(std::span<const Value>, const State&)>
Operand each(const Context& ctx, const Node& node) {
    const std::vector<Value> values = argument_values(ctx, node);
    const State& s = *ctx.state;
    return {lift(values, [&s](std::span<const Value> v) { return F(v, s); }), std::nullopt};
}

template <Value (*F)(std::span<const Value>)>
Value stateless(std::span<const Value> v, const State&) {
    return F(v);
}

Value rept_function(std::span<const Value> v, const State& s) {
    return rept(v, s.cell_text_limit, false);
}

// LEN(REPT(…)) is the host's limit probe: its length is worked out without building the text.
Operand len_call(const Context& ctx, const Node& node) {
    const Node& kid = node.kids[0];
    if (kid.type != NodeType::Call || kid.name != u"REPT") return each<len_function>(ctx, node);
    const std::vector<Value> values = argument_values(ctx, kid);
    const std::size_t limit = ctx.state->cell_text_limit;
    return {lift(values, [limit](std::span<const Value> v) { return rept(v, limit, true); }),
            std::nullopt};
}

Operand sum_call(const Context& ctx, const Node& node) {
    std::vector<Operand> args;
    args.reserve(node.kids.size());
    for (const Node& kid : node.kids)
        args.push_back(evaluate(ctx, kid));
    return {sum(ctx, args), std::nullopt};
}

// IF evaluates only the branch it takes, and gives it as it is (a reference stays one).
Operand if_call(const Context& ctx, const Node& node) {
    const Value condition = deref(ctx, evaluate(ctx, node.kids[0]));
    bool take_first = false;
    if (condition.is_error_value()) return {condition, std::nullopt};
    if (condition.is_boolean()) {
        take_first = condition.boolean_value();
    } else if (condition.is_string()) {
        const std::u16string word = to_upper(condition.string_value());
        if (word != u"TRUE" && word != u"FALSE") return {xl(xlerr::value), std::nullopt};
        take_first = word == u"TRUE";
    } else if (condition.is_array() || condition.is_object()) {
        return {xl(xlerr::value), std::nullopt};  // no array conditions in this stand-in
    } else {
        double d = 0;
        if (Value err = as_number(condition, d); !err.is_empty()) return {err, std::nullopt};
        take_first = d != 0;
    }
    if (!take_first && node.kids.size() < 3) return {Value::boolean(false), std::nullopt};
    Operand taken = evaluate(ctx, node.kids[take_first ? 1 : 2]);
    if (taken.value.is_missing()) return {Value::number(0), std::nullopt};
    return taken;
}

// IFERROR evaluates its second argument only when the first is (or holds) an error value, and
// then element by element; an omitted second argument is 0.
Operand iferror_call(const Context& ctx, const Node& node) {
    Value both[2] = {deref(ctx, evaluate(ctx, node.kids[0])), Value()};
    bool error = both[0].is_error_value();
    if (both[0].is_array())
        for (const Value& v : both[0].array_value().elements())
            error = error || v.is_error_value();
    if (!error) return {both[0], std::nullopt};
    both[1] = deref(ctx, evaluate(ctx, node.kids[1]));
    return {lift(both,
                 [](std::span<const Value> v) {
                     if (!v[0].is_error_value()) return v[0];
                     return v[1].is_missing() ? Value::number(0) : v[1];
                 }),
            std::nullopt};
}

// The functions the evaluator knows, in alphabetical order.
constexpr Builtin builtins[] = {
    {u"CHAR", 1, 1, each<char_function<false>>},
    {u"CONCATENATE", 1, 255, each<stateless<concatenate>>},
    {u"DATE", 3, 3, each<date_of>},
    {u"FALSE", 0, 0, each<constant_function<0>>},
    {u"IF", 2, 3, if_call},
    {u"IFERROR", 2, 2, iferror_call},
    {u"ISERROR", 1, 1, each<iserror_function>},
    {u"LEFT", 1, 2, each<part_function<Part::Left>>},
    {u"LEN", 1, 1, len_call},
    {u"LOWER", 1, 1, each<case_function<Casing::Lower>>},
    {u"MID", 3, 3, each<part_function<Part::Mid>>},
    {u"NA", 0, 0, each<constant_function<-1>>},
    {u"PROPER", 1, 1, each<case_function<Casing::Proper>>},
    {u"REPT", 2, 2, each<rept_function>},
    {u"RIGHT", 1, 2, each<part_function<Part::Right>>},
    {u"SUBSTITUTE", 3, 4, each<substitute_function>},
    {u"SUM", 1, 255, sum_call},
    {u"TEXT", 2, 2, each<text_function>},
    {u"TIME", 3, 3, each<stateless<time_of>>},
    {u"TRIM", 1, 1, each<trim_function>},
    {u"TRUE", 0, 0, each<constant_function<1>>},
    {u"UNICHAR", 1, 1, each<char_function<true>>},
    {u"UPPER", 1, 1, each<case_function<Casing::Upper>>},
};

const Builtin* find_builtin(std::u16string_view name) {
    for (const Builtin& b : builtins)
        if (b.name == name) return &b;
    return nullptr;
}

Operand call(const Context& ctx, const Node& node) {
    if (const Builtin* b = find_builtin(node.name)) return b->call(ctx, node);
    std::vector<Operand> args;
    args.reserve(node.kids.size());
    for (const Node& kid : node.kids)
        args.push_back(evaluate(ctx, kid));
    const std::u16string& name = node.name;
    const std::string unsupported = "unsupported function " + utf8(name);
    if (!ctx.resolver || !*ctx.resolver) return cannot_compute(ctx, unsupported);
    // Arguments as Excel hands them to an add-in's function: references as Range objects.
    std::vector<Value> passed;
    passed.reserve(args.size());
    for (Operand& op : args) {
        if (op.area)
            passed.push_back(Value::object(make_range(ctx.state, *op.area)));
        else
            passed.push_back(std::move(op.value));
    }
    Value result;
    if (!(*ctx.resolver)(name, passed, result)) return cannot_compute(ctx, unsupported);
    // A function may answer a range (the add-in answers an error cell that way): it stands
    // for its cells, as a reference does.
    if (result.is_object()) {
        auto area = result.object_value() ? area_of(result.object_value().get()) : std::nullopt;
        if (!area) return {xl(xlerr::value), std::nullopt};
        return {Value(), area};
    }
    return {std::move(result), std::nullopt};
}

// A defined name in scope on a sheet: the sheet's own, else the workbook's (letter case
// ignored).
const DefinedName* find_name(const State& state, std::u16string_view name, SheetRef on) {
    if (on.workbook >= state.workbooks.size()) return nullptr;
    const DefinedName* found = nullptr;
    for (const DefinedName& defined : state.workbooks[on.workbook]->names) {
        if (to_upper(defined.name) != to_upper(name)) continue;
        if (defined.sheet == on.sheet) return &defined;
        if (!defined.sheet) found = &defined;
    }
    return found;
}

// A defined name: what its definition gives, evaluated as a formula in this one (a reference
// stays one; several areas are a Range of them), once per formula.
[[gnu::noinline]] Operand name_value(const Context& ctx, const Node& node) {
    const State& s = *ctx.state;
    std::optional<SheetRef> on = s.active;
    if (node.ref.sheet && on) {
        on = s.find_sheet(on->workbook, *node.ref.sheet);
        if (!on) return {xl(xlerr::ref), std::nullopt};  // as a reference to that sheet
    }
    const DefinedName* defined = on ? find_name(s, node.name, *on) : nullptr;
    if (!defined) return cannot_compute(ctx, "unknown name " + utf8(node.name));
    auto [known, fresh] = ctx.names->try_emplace(defined);
    if (!fresh) {
        if (known->second) return *known->second;
        return cannot_compute(ctx, "the name " + utf8(node.name) + " refers to itself");
    }
    if (ctx.name_depth >= name_depth_limit) {
        ctx.names->erase(defined);
        return cannot_compute(ctx, "names nested more than " + std::to_string(name_depth_limit) +
                                       " deep at " + utf8(node.name));
    }
    // Parentheses make a list of areas one union: "S!$A$1:$A$2,S!$C$1".
    const std::u16string text = u"(" + defined->refers_to + u")";
    Parser parser(text, s.max_rows, s.max_columns);
    Operand value{xl(xlerr::ref), std::nullopt};
    try {
        const Node root = parser.formula();
        value = evaluate(Context{ctx.state, ctx.resolver, ctx.names, ctx.name_depth + 1}, root);
    } catch (const ParseError& e) {
        if (ctx.resolver)
            note(*ctx.state, "the name " + utf8(node.name) +
                                 " refers to what cannot be read: " + e.message + " (gives #REF!)");
    }
    (*ctx.names)[defined] = value;
    return value;
}

// A union of references on one sheet; anything else in it makes it #VALUE!. Kept out of
// evaluate() so that its frame, which deep formulas stack thousands of times, stays small.
[[gnu::noinline]] Operand union_of(const Context& ctx, const Node& node) {
    std::vector<Area> areas;
    for (const Node& kid : node.kids) {
        Operand part = evaluate(ctx, kid);
        std::vector<Area> parts;
        if (part.area) {
            parts.push_back(*part.area);
        } else if (part.value.is_object() && part.value.object_value()) {
            parts = areas_of(part.value.object_value().get());
        }
        if (parts.empty()) return {part.value.is_error() ? part.value : xl(xlerr::value), {}};
        for (const Area& area : parts) {
            if (!areas.empty() && !(areas.front().sheet == area.sheet))
                return {xl(xlerr::value), std::nullopt};
            areas.push_back(area);
        }
    }
    return {Value::object(make_range(ctx.state, std::move(areas))), std::nullopt};
}

Operand evaluate(const Context& ctx, const Node& node) {
    switch (node.type) {
        case NodeType::Literal:
            return {node.value, std::nullopt};
        case NodeType::Missing:
            return {Value::missing(), std::nullopt};
        case NodeType::Name:
            return name_value(ctx, node);
        case NodeType::Reference: {
            auto area = resolve(ctx, node.ref);
            if (!area) return {xl(xlerr::ref), std::nullopt};
            return {Value(), area};
        }
        case NodeType::Negate:
        case NodeType::Percent: {
            const Value v = deref(ctx, evaluate(ctx, node.kids[0]));
            const double factor = node.type == NodeType::Negate ? -1 : 0.01;
            return {lift(std::span<const Value>(&v, 1),
                         [factor](std::span<const Value> x) {
                             double d = 0;
                             if (Value err = as_number(x[0], d); !err.is_empty()) return err;
                             return number_result(d * factor);
                         }),
                    std::nullopt};
        }
        case NodeType::Binary: {
            const Value both[2] = {deref(ctx, evaluate(ctx, node.kids[0])),
                                   deref(ctx, evaluate(ctx, node.kids[1]))};
            const BinOp op = node.op;
            return {lift(both, [op](std::span<const Value> lr) { return apply_binary(op, lr); }),
                    std::nullopt};
        }
        case NodeType::Call:
            return call(ctx, node);
        case NodeType::Union:
            return union_of(ctx, node);
    }
    return {xl(xlerr::value), std::nullopt};
}

}  // namespace

Value evaluate_for_application(const std::shared_ptr<State>& state, std::u16string_view formula) {
    if (formula.size() > application_formula_limit) return xl(xlerr::value);
    Parser parser(formula, state->max_rows, state->max_columns);
    Node root;
    try {
        root = parser.formula();
    } catch (const ParseError&) {
        return xl(xlerr::value);
    }
    if (parser.literal_too_long) return xl(xlerr::value);
    NameValues names;
    const Context ctx{state, nullptr, &names};
    Operand result = evaluate(ctx, root);
    if (result.area) return Value::object(make_range(state, *result.area));
    return std::move(result.value);
}

Value evaluate_for_cell(const std::shared_ptr<State>& state, std::u16string_view formula,
                        const FunctionResolver& resolver) {
    if (formula.size() > cell_formula_limit)
        fail(hr::invalid_arg, "the formula is longer than 8,192 characters");
    Parser parser(formula, state->max_rows, state->max_columns);
    Node root;
    try {
        root = parser.formula();
    } catch (const ParseError& e) {
        fail(hr::invalid_arg, e.message);
    }
    if (parser.literal_too_long) return xl(xlerr::value);
    NameValues names;
    const Context ctx{state, &resolver, &names};
    return deref(ctx, evaluate(ctx, root));
}

std::vector<std::u16string_view> builtin_names() {
    std::vector<std::u16string_view> names;
    for (const Builtin& b : builtins)
        names.push_back(b.name);
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<Rect> parse_address(std::u16string_view text, std::uint32_t max_rows,
                                  std::uint32_t max_columns) {
    Parser parser(text, max_rows, max_columns);
    auto ref = parser.reference_only();
    if (!ref || ref->sheet) return std::nullopt;
    return ref->rect;
}

std::vector<Area> name_areas(const std::shared_ptr<State>& state, std::u16string_view name,
                             SheetRef on) {
    const std::optional<SheetRef> active = std::exchange(state->active, on);
    Node node;
    node.type = NodeType::Name;
    node.name = name;
    NameValues names;
    Operand result;
    try {
        result = evaluate(Context{state, nullptr, &names}, node);
    } catch (...) {
        state->active = active;
        throw;
    }
    state->active = active;
    if (result.area) return {*result.area};
    if (result.value.is_object() && result.value.object_value())
        return areas_of(result.value.object_value().get());
    return {};
}

std::optional<Area> parse_reference(const State& state, std::u16string_view text) {
    Parser parser(text, state.max_rows, state.max_columns);
    auto ref = parser.reference_only();
    if (!ref || !state.active) return std::nullopt;
    if (!ref->sheet) return Area{*state.active, ref->rect};
    auto sheet = state.find_sheet(state.active->workbook, *ref->sheet);
    if (!sheet) return std::nullopt;
    return Area{*sheet, ref->rect};
}

namespace {

void report_cycle(State& state, const Recalculation::CellId& id) {
    Recalculation& rc = *state.recalc;
    // A function may read a cell more than once; the cycle is told once.
    if (rc.circular.contains(id)) return;
    auto first = std::find(rc.computing.begin(), rc.computing.end(), id);
    std::string path;
    for (auto at = first; at != rc.computing.end(); ++at) {
        rc.circular.insert(*at);
        path += utf8(name_of(state, *at)) + " -> ";
    }
    path += utf8(name_of(state, id));
    rc.problems.push_back(utf8(name_of(state, id)) + ": circular reference: " + path +
                          " (gives 0)");
}

// Evaluates one formula cell once in the recalculation, with its own sheet active, and keeps
// the result as the cell's value. A cell read again while it is being evaluated closes a
// cycle: that read gets the value the cell has so far, and every cell on the cycle ends as 0,
// as Excel shows them.
void settle_cell(State& state, SheetRef sheet, std::uint64_t key) {
    Recalculation& rc = *state.recalc;
    const Recalculation::CellId id{sheet, key};
    const auto [found, fresh] = rc.status.try_emplace(id, Recalculation::Status::Computing);
    if (!fresh) {
        if (found->second == Recalculation::Status::Computing) report_cycle(state, id);
        return;
    }
    const auto row = static_cast<std::uint32_t>(key >> 32);
    const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
    // The result becomes the cell's value; its format and formula stay.
    auto keep_result = [&](Value result) {
        SheetData& data = state.sheet(sheet);
        CellData cell = data.find(row, column).value_or(CellData{});
        cell.value = std::move(result);
        data.cells.insert_or_assign(key, std::move(cell));
    };
    if (rc.computing.size() >= chain_limit) {
        // Each link of a chain of formula cells nests an evaluation on the stack.
        rc.status[id] = Recalculation::Status::Done;
        rc.problems.push_back(utf8(name_of(state, id)) +
                              ": the chain of formula cells leading here is longer than " +
                              std::to_string(chain_limit) + " (gives #VALUE!)");
        keep_result(xl(xlerr::value));
        return;
    }
    const std::optional<CellData> cell = state.sheet(sheet).find(row, column);
    if (!cell || !cell->formula) {
        rc.status[id] = Recalculation::Status::Done;
        return;
    }
    const std::u16string formula = *cell->formula;
    rc.computing.push_back(id);
    const std::optional<SheetRef> active = state.active;
    state.active = sheet;
    std::vector<std::string> outer = std::exchange(rc.cannot_compute, {});
    Value result;
    try {
        result = evaluate_for_cell(state.shared_from_this(), formula, rc.resolver);
    } catch (const Failure& e) {
        if (e.hresult() == hr::invalid_arg) {
            rc.cannot_compute.push_back(std::string("the formula does not parse: ") + e.what());
            result = xl(xlerr::name);
        } else {
            note(state, std::string("cannot evaluate: ") + e.what() + " (gives #VALUE!)");
            result = xl(xlerr::value);
        }
    } catch (const std::exception& e) {
        note(state, std::string("cannot evaluate: ") + e.what() + " (gives #VALUE!)");
        result = xl(xlerr::value);
    }
    // What could not be computed makes the cell keep the value its file saved, if any.
    const std::vector<std::string> missing = std::exchange(rc.cannot_compute, std::move(outer));
    const bool saved = !cell->value.is_empty();
    for (const std::string& what : missing)
        note(state, what + (saved ? " (keeps the value the file saved)" : " (gives #NAME?)"));
    if (saved && !missing.empty()) result = cell->value;
    state.active = active;
    rc.computing.pop_back();
    rc.status[id] = Recalculation::Status::Done;
    if (rc.circular.contains(id)) result = Value::number(0);
    keep_result(std::move(result));
}

}  // namespace

void settle_formulas(State& state, const Area& area) {
    if (!state.recalc) return;
    const auto& formulas = state.sheet(area.sheet).cells.formulas();
    const Rect& r = area.rect;
    std::vector<std::uint64_t> keys;
    if (formulas.size() < r.area()) {
        for (const auto& [key, formula] : formulas)
            if (r.contains(static_cast<std::uint32_t>(key >> 32),
                           static_cast<std::uint32_t>(key & 0xFFFFFFFFu)))
                keys.push_back(key);
    } else {
        for (std::uint32_t row = r.top; row <= r.bottom; ++row)
            for (std::uint32_t column = r.left; column <= r.right; ++column)
                if (formulas.contains(cell_key(row, column))) keys.push_back(cell_key(row, column));
    }
    // Row by row, whatever order the file gave the cells in.
    std::sort(keys.begin(), keys.end());
    for (const std::uint64_t key : keys)
        settle_cell(state, area.sheet, key);
}

}  // namespace tb::standin
