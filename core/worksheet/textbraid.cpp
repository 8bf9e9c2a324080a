#include "core/worksheet/textbraid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "core/host/excel_ops.h"

namespace tb {

namespace {

constexpr std::int32_t kValueError = xlerr::scode(xlerr::value);

Value value_error() {
    return Value::error(kValueError);
}

// The number of cells (rows, columns) an object holds, through CountLarge or, on hosts that
// lack it, Count.
double count_of(const ObjectRef& collection, bool useLegacyCount) {
    Value count =
        useLegacyCount ? excel::Range_Count(collection) : excel::Range_CountLarge(collection);
    return count.to_number();
}

// A whole number of characters in its plain decimal form, as the host reads it in a formula.
std::u16string count_text(double n) {
    return Value::number(n).to_text();
}

// The length of a delimiter; only a text can be measured.
std::size_t delimiter_length(const Value& delimiter) {
    if (!delimiter.is_string()) fail(hr::type_mismatch, "the delimiter is no text");
    return delimiter.string_value().size();
}

// What the limit probes of one call have shown. The host's limit is one number, so a length that
// fits means every shorter one fits, and a length refused means every longer one is refused:
// every length up to fits_ fits, every length from refused_ on is refused, and only lengths in
// between are put to the host. Those are asked ahead of need: at twice the length while no probe
// was refused, then halfway between what is known. One call thus asks the host a number of times
// logarithmic in its result, and the host's work for all those texts is proportional to the
// result's length. A probe that fails or answers neither way shows nothing: that length counts
// as fitting, as ExceedsCellLimit answers, and a later check asks again. Nothing outlives the call.
template <class Ask>
class LimitProbe {
  public:
    LimitProbe(Ask ask, bool ahead) : ask_(std::move(ask)), ahead_(ahead) {}

    bool exceeds(double n) {
        if (!ahead_) return ask_(n).value_or(false);
        for (;;) {
            if (n <= fits_) return false;
            if (n >= refused_) return true;
            const double asked = std::isinf(refused_)
                                     ? 2 * n
                                     : std::max(n, std::floor(fits_ + (refused_ - fits_) / 2));
            const std::optional<bool> refused = ask_(asked);
            if (!refused) return false;
            if (*refused) {
                refused_ = asked;
            } else {
                fits_ = asked;
            }
        }
    }

  private:
    Ask ask_;
    bool ahead_;
    double fits_ = -1;
    double refused_ = std::numeric_limits<double>::infinity();
};

}  // namespace

std::u16string TextBraidHelpText() {
    static constexpr std::array<std::u16string_view, 21> lines = {
        u"This function concatenates ranges of cell text, with an optional delimiter, and the "
        u"option to use the cells' formats.",
        u"",
        u"Syntax",
        u"",
        u"TEXTBRAID(delimiter, ignore_empty, use_formats, text1, [text2], \u2026)",
        u"",
        u"delimiter: ",
        u"A text string, either empty, or one or more characters enclosed by double quotes, or a "
        u"reference to a valid text string. If a number is supplied, it will be treated as text.",
        u"",
        u"ignore_empty:",
        u"If TRUE, ignores empty cells.",
        u"",
        u"use_formats:",
        u"If TRUE, cell values in the concatenation will be formatted.",
        u"If FALSE (the default), no formatting is applied.",
        u"",
        u"text1:",
        u"Text item to be joined. A text string, or array of strings, such as a range of cells.",
        u"",
        u"[text2,...]:",
        u"Additional text items to be joined. Each can be a text string, or array of strings, such "
        u"as a range of cells.",
    };
    std::u16string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0) text += u"\r\n";
        text += lines[i];
    }
    return text;
}

Value TEXTBRAID::operator()(std::span<const Value> params) noexcept {
    // Built afresh on every call; kept outside the trap so the trap never has to build it.
    std::u16string help;
    try {
        help = TextBraidHelpText();
    } catch (...) {
        return value_error();
    }

    try {
        // Decide how cells are counted: through CountLarge when the host has it, else Count.
        bool useLegacyCount = true;
        {
            ObjectRef workbooks = excel::Application_Workbooks(excel::Application());
            if (excel::Workbooks_Count(workbooks) > 0) {
                ObjectRef workbook = excel::Workbooks_Item(workbooks, 1);
                ObjectRef sheets = excel::Workbook_Worksheets(workbook);
                ObjectRef first_sheet = excel::Sheets_Item(sheets, 1);
                useLegacyCount = IsBadRange(Value::object(first_sheet));
            }
        }

        if (params.size() < 4) {
            if (show_box_) show_box_(help, u"TEXTBRAID", kStopBoxStyle);
            return value_error();
        }

        // An error among the delimiter and the switches (a referenced cell by its value) makes
        // the call invalid; omitted arguments pass.
        for (std::size_t i = 0; i < 3; ++i) {
            const Value& argument = params[i];
            if (argument.is_object()) {
                if (excel::Range_Value(argument.object_value()).is_error_value()) {
                    return value_error();
                }
            } else if (argument.is_error_value()) {
                return value_error();
            }
        }

        // Each switch is parsed once to validate it and once more to take its value.
        if (ParseSwitch(params[2], false).is_empty()) return value_error();
        const bool use_formats = ParseSwitch(params[2], false).boolean_value();
        if (ParseSwitch(params[1], true).is_empty()) return value_error();
        const bool ignore_empty = ParseSwitch(params[1], true).boolean_value();

        const Value delimiter =
            params[0].is_missing() ? Value::string(u"") : ItemText(params[0], use_formats);

        return JoinItems(delimiter, ignore_empty, use_formats, useLegacyCount, params.subspan(3));
    } catch (...) {
        return value_error();
    }
}

Value TEXTBRAID::ParseSwitch(Value item, bool default_value) const noexcept {
    try {
        if (item.is_missing()) return Value::boolean(default_value);
        if (item.is_object()) {
            if (!item.object_value()) return Value();
            item = excel::Range_Value2(item.object_value());
        }
        if (item.is_empty()) return Value::boolean(default_value);
        if (item.is_boolean()) return item;

        double number = 0;
        const bool numeric = item.is_number_kind() ||
                             (item.is_string() && parse_number(item.string_value(), number));
        if (numeric) {
            if (item.is_number_kind()) number = item.to_number();
            if (number == 1) return Value::boolean(true);
            if (number == 0) return Value::boolean(false);
            return Value();
        }
        if (!item.is_string()) return Value::boolean(item.to_boolean());

        const std::u16string& text = item.string_value();
        const std::u16string trimmed = trim_blanks(text);
        if (trimmed.empty()) return Value::boolean(default_value);
        const std::u16string upper = to_upper(trimmed);
        const std::u16string squeezed = to_upper(remove_blanks(text));
        if (upper == u"TRUE" || trimmed == u"1" || squeezed == u"TRUE()") {
            return Value::boolean(true);
        }
        if (upper == u"FALSE" || trimmed == u"0" || squeezed == u"FALSE()") {
            return Value::boolean(false);
        }
        return Value();
    } catch (...) {
        return Value();
    }
}

Value TEXTBRAID::ItemText(Value item, bool use_formats) const {
    if (item.is_object()) {
        item = use_formats ? excel::Range_Text(item.object_value())
                           : excel::Range_Value2(item.object_value());
    }
    // A text is what CONCATENATE of one text gives: answered without asking the host, which
    // would refuse a formula over 255 characters.
    if (item.is_string()) return item;
    if (item.is_empty()) return Value::string(u"");

    // Everything else is handed to the host's CONCATENATE, written so that the host reads the
    // same value under locale 1033: numbers with a '.' decimal point, a date as its serial
    // number (never as a division such as 1/2/2024), null as no text at all. An error code or
    // an array has no text form and fails here.
    std::u16string operand;
    if (item.is_date()) {
        operand = Value::number(item.date_value()).to_text();
    } else {
        operand = item.joined_text();
    }
    std::u16string formula = u"CONCATENATE(";
    formula += operand;
    formula += u")";
    return excel::Application_Evaluate(excel::Application(), formula);
}

bool TEXTBRAID::ExceedsCellLimit(const Value& text, const Value& delimiter,
                                 double length) const noexcept {
    try {
        if (text.is_error()) return false;
        if (length >= 0) return ExceedsCellLimit(std::u16string_view(), delimiter, length);
        if (text.is_string()) return ExceedsCellLimit(text.string_value(), delimiter, length);
        const std::u16string as_text = text.to_text();
        return ExceedsCellLimit(as_text, delimiter, length);
    } catch (...) {
        return false;
    }
}

bool TEXTBRAID::ExceedsCellLimit(std::u16string_view text, const Value& delimiter,
                                 double length) const noexcept {
    try {
        double n = length;
        if (length < 0) {
            // Measures the text without its leading delimiter: what the cell would show.
            const std::size_t skip = delimiter.text_length();
            n = text.size() > skip ? static_cast<double>(text.size() - skip) : 0.0;
        }
        return ProbeCellLimit(n).value_or(false);
    } catch (...) {
        return false;
    }
}

std::optional<bool> TEXTBRAID::ProbeCellLimit(double n) const noexcept {
    try {
        std::u16string formula = u"=LEN(REPT(\"x\", ";
        formula += count_text(n);
        formula += u"))";
        const Value answer = excel::Application_Evaluate(excel::Application(), formula);
        if (answer.is_error() && answer.error_code() == kValueError) return true;
        if (answer.is_number_kind()) return false;
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

bool TEXTBRAID::IsBadRange(const Value& target) const noexcept {
    try {
        if (!target.is_object()) return true;
        ObjectRef cells = excel::Range_Cells(target.object_value());
        return excel::Range_CountLarge(cells).is_error();
    } catch (...) {
        return true;
    }
}

Value TEXTBRAID::JoinItems(const Value& delimiter, bool ignore_empty, bool use_formats,
                           bool useLegacyCount, std::span<const Value> items) const {
    // Gather: one slot per text argument and the number of items they bring.
    std::vector<Value> slots;
    std::vector<double> cells_in_slot;  // the cell count of each reference, as gathered
    slots.reserve(items.size());
    cells_in_slot.reserve(items.size());
    double item_count = 0;
    for (const Value& argument : items) {
        double cells = 1;
        if (argument.is_missing()) {
            slots.emplace_back();
        } else if (argument.is_object()) {
            slots.push_back(argument);
            cells = count_of(excel::Range_Cells(argument.object_value()), useLegacyCount);
        } else {
            slots.push_back(argument);
        }
        cells_in_slot.push_back(cells);
        item_count += cells;
    }

    LimitProbe limit([this](double n) { return ProbeCellLimit(n); }, probe_ahead_);

    // Early length check: the delimiters alone of a result that accepts every item. Without a
    // delimiter an empty text leaves no trace, so the cell count says nothing about the length:
    // such a call skips empty texts and is cut to the used range, as with empties ignored.
    const std::size_t delimiter_len = delimiter_length(delimiter);
    const bool skip_empty = ignore_empty || delimiter_len == 0;
    if (!skip_empty && item_count > 0 &&
        limit.exceeds((item_count - 1) * static_cast<double>(delimiter_len))) {
        return Value::string(kCellLimitText);
    }

    const std::u16string& delimiter_text = delimiter.string_value();
    std::u16string joined;  // always carries one delimiter in front of its first text
    bool limit_reached = false;

    auto accept = [&](const Value& text) {
        if (!text.is_string()) fail(hr::type_mismatch, "an item gave no text");
        const std::u16string& piece = text.string_value();
        if (piece.empty() && skip_empty) return;
        joined += delimiter_text;
        joined += piece;
        if (limit.exceeds(static_cast<double>(joined.size() - delimiter_len))) limit_reached = true;
    };

    for (std::size_t k = 0; k < slots.size(); ++k) {
        Value& slot = slots[k];
        if (slot.is_object()) {
            // A reference of several cells is a block: its value would be an array. It is told
            // by the count already gathered rather than by reading that array, which for a whole
            // column would hold a million values before the cut to the used range.
            const bool several_cells = cells_in_slot[k] != 1;
            const Value whole = several_cells ? Value() : excel::Range_Value(slot.object_value());
            if (several_cells || whole.is_array() || whole.is_object()) {
                // A block of cells, walked area by area (a union such as (A1:A2,C1:C2) has
                // several, and Rows, Columns and Cells(r, c) see only the first), each row by
                // row.
                const ObjectRef areas = excel::Range_Areas(slot.object_value());
                const double area_count = excel::Areas_Count(areas);
                for (double a = 1; a <= area_count; ++a) {
                    ObjectRef range = excel::Areas_Item(areas, static_cast<std::int32_t>(a));
                    if (skip_empty) {
                        ObjectRef sheet = excel::Range_Worksheet(range);
                        ObjectRef used = excel::Worksheet_UsedRange(sheet);
                        range = excel::Application_Intersect(excel::Application(), range, used)
                                    .object_value();
                    }
                    double rows = 0;
                    double columns = 0;
                    if (range) {
                        ObjectRef cells = excel::Range_Cells(range);
                        rows = count_of(excel::Range_Rows(cells), useLegacyCount);
                        columns = count_of(excel::Range_Columns(cells), useLegacyCount);
                    }
                    for (double r = 1; r <= rows; ++r) {
                        for (double c = 1; c <= columns; ++c) {
                            // One host object a cell. Its Value2 is an error exactly when its
                            // Value is, so without formats the value read for the error test is
                            // also the one whose text is joined.
                            ObjectRef cell = excel::Range_Cells(range, r, c);
                            Value value =
                                use_formats ? excel::Range_Value(cell) : excel::Range_Value2(cell);
                            if (value.is_error()) return Value::object(std::move(cell));
                            accept(use_formats ? ItemText(Value::object(std::move(cell)), true)
                                               : ItemText(std::move(value), false));
                            if (limit_reached) return Value::string(kCellLimitText);
                        }
                    }
                }
            } else {
                // A reference to one cell.
                if (whole.is_error()) return slot;
                accept(ItemText(slot, use_formats));
                if (limit_reached) return Value::string(kCellLimitText);
            }
        } else if (slot.is_array()) {
            // Array elements are not tested for errors first: an error element has no text and
            // fails the call. Each dimension is walked over its own bounds, so an array that
            // does not start at 1 loses no element.
            const Array& array = slot.array_value();
            const std::int64_t row_first = array.lower(0);
            const std::int64_t row_last = array.upper(0);
            const std::int64_t column_first = array.lower(1);
            const std::int64_t column_last = array.upper(1);
            if (array.dimensions() != 2) fail(hr::bad_index, "the array is not two-dimensional");
            for (std::int64_t r = row_first; r <= row_last; ++r) {
                for (std::int64_t c = column_first; c <= column_last; ++c) {
                    accept(ItemText(array.at(r, c), use_formats));
                    if (limit_reached) return Value::string(kCellLimitText);
                }
            }
        } else {
            if (slot.is_error()) return slot;
            accept(ItemText(slot, use_formats));
            if (limit_reached) return Value::string(kCellLimitText);
        }
    }

    if (joined.size() <= delimiter_len) return Value::string(u"");
    return Value::string(std::u16string_view(joined).substr(delimiter_len));
}

}  // namespace tb
