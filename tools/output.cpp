#include "tools/output.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "standin/model.h"
#include "standin/number_format.h"

namespace tb::tools {

std::u16string shown_text(const Value& result) {
    switch (result.kind()) {
        case Kind::Empty:
            return u"";
        case Kind::String:
            return result.string_value();
        case Kind::Error: {
            std::u16string text = xlerr::display_text(result.error_code());
            return text.empty() ? u"#VALUE!" : text;
        }
        case Kind::Boolean:
            return result.boolean_value() ? u"TRUE" : u"FALSE";
        default:
            if (result.is_numeric()) return standin::general_text(result.to_number());
            return u"#VALUE!";
    }
}

namespace {

const char* type_name(const Value& result) {
    switch (result.kind()) {
        case Kind::Empty:
        case Kind::String:
            return "text";
        case Kind::Error:
            return "error";
        case Kind::Boolean:
            return "boolean";
        default:
            return result.is_numeric() ? "number" : "error";
    }
}

// The shortest decimal form that reads back as exactly the same double.
std::string json_number(double d) {
    if (!std::isfinite(d)) return json_string(u"#NUM!");
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, d);
    return ec == std::errc() ? std::string(text, end) : json_string(u"#NUM!");
}

std::string json_value(const Value& result) {
    switch (result.kind()) {
        case Kind::Boolean:
            return result.boolean_value() ? "true" : "false";
        case Kind::Empty:
        case Kind::String:
        case Kind::Error:
            return json_string(shown_text(result));
        default:
            if (result.is_numeric()) return json_number(result.to_number());
            return json_string(u"#VALUE!");
    }
}

// Writes the escape of a tab, a line feed, a carriage return or a backslash (\t, \n, \r, \\, the
// escapes C and JSON share); false for any other character.
bool append_escape(std::string& out, char ch) {
    switch (ch) {
        case '\t':
            out += "\\t";
            return true;
        case '\n':
            out += "\\n";
            return true;
        case '\r':
            out += "\\r";
            return true;
        case '\\':
            out += "\\\\";
            return true;
        default:
            return false;
    }
}

// A result on one line, with those escapes, so a line break in a result cannot pass for a new
// one.
std::string escaped(std::u16string_view text) {
    std::string out;
    for (const char ch : utf8(text))
        if (!append_escape(out, ch)) out += ch;
    return out;
}

std::u16string line_breaks_for_terminal(std::u16string text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
        out += text[i];
    }
    return out;
}

}  // namespace

std::string json_string(std::u16string_view text) {
    std::string out = "\"";
    const std::string bytes = utf8(text);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"') {
            out += "\\\"";
        } else if (!append_escape(out, ch)) {
            if (c < 0x20) {
                char control[8];
                std::snprintf(control, sizeof control, "\\u%04x", c);
                out += control;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
    return out;
}

void print(std::ostream& out, std::ostream& err, const Outcome& outcome, bool json,
           const std::optional<std::u16string>& cell, std::optional<std::size_t> index) {
    if (json) {
        out << "{";
        if (cell) out << "\"cell\": " << json_string(*cell) << ", ";
        if (index) out << "\"index\": " << *index << ", ";
        out << "\"type\": \"" << type_name(outcome.result)
            << "\", \"value\": " << json_value(outcome.result) << ", \"boxes\": [";
        for (std::size_t i = 0; i < outcome.boxes.size(); ++i) {
            const BoxShown& box = outcome.boxes[i];
            out << (i ? ", " : "") << "{\"title\": " << json_string(box.title)
                << ", \"text\": " << json_string(box.text) << ", \"style\": " << box.style << "}";
        }
        out << "]}\n";
        return;
    }
    for (const BoxShown& box : outcome.boxes) {
        err << "[" << utf8(box.title) << "] " << utf8(line_breaks_for_terminal(box.text)) << "\n";
    }
    if (cell) out << utf8(*cell) << "\t";
    out << escaped(shown_text(outcome.result)) << "\n";
}

void print_problems(std::ostream& err, const std::string& program,
                    const std::vector<std::string>& problems) {
    for (const std::string& line : problems)
        err << program << ": " << line << "\n";
}

std::vector<FormulaCell> textbraid_cells(const standin::SheetData& sheet) {
    std::vector<FormulaCell> cells;
    for (const auto& [key, formula] : sheet.cells.formulas()) {
        if (to_upper(formula).find(u"TEXTBRAID(") == std::u16string::npos) continue;
        cells.push_back({static_cast<std::uint32_t>(key >> 32),
                         static_cast<std::uint32_t>(key & 0xFFFFFFFFu), formula});
    }
    std::sort(cells.begin(), cells.end(), [](const FormulaCell& a, const FormulaCell& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    return cells;
}

std::u16string cell_name(std::u16string_view sheet, std::uint32_t row, std::uint32_t column) {
    return standin::cell_name(sheet, row, column);
}

}  // namespace tb::tools
