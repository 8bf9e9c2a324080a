// The stand-in's formula evaluator: US syntax, a small set of worksheet functions, references
// to the active workbook's sheets, array constants, and functions it does not know handed to a
// resolver. Two entries: the one behind Application.Evaluate (255-character limit, every
// problem answered as an error value) and the one behind a cell formula typed on the command
// line (a formula that does not parse is a failure).
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "standin/model.h"
#include "standin/profile.h"

namespace tb::standin {

// Application.Evaluate: a formula of more than 255 characters, a text literal of more than
// 255, and a formula that does not parse give #VALUE!; unknown functions and names give #NAME?. A
// reference result comes back as a Range object, as Excel gives it.
Value evaluate_for_application(const std::shared_ptr<State>& state, std::u16string_view formula);

// A formula as a cell would hold it (up to 8,192 characters): one that does not parse, or is
// too long, fails with E_INVALIDARG and a message saying why. A reference result is given as
// its value (one cell: its raw value; several: a 2-D array).
Value evaluate_for_cell(const std::shared_ptr<State>& state, std::u16string_view formula,
                        const FunctionResolver& resolver);

// The worksheet functions the evaluator knows itself, in alphabetical order.
std::vector<std::u16string_view> builtin_names();

// A plain address ("A1", "$A$1:$C$3", "A:C", "1:3") within a grid, or nothing.
std::optional<Rect> parse_address(std::u16string_view text, std::uint32_t max_rows,
                                  std::uint32_t max_columns);

// The areas a defined name refers to, seen from a sheet (the sheet's own names first, then the
// workbook's); none when there is no such name or it refers to no reference.
std::vector<Area> name_areas(const std::shared_ptr<State>& state, std::u16string_view name,
                             SheetRef on);

// A reference, optionally with its sheet ("Sheet2!A1:B2", "'My Sheet'!A1"), resolved against
// the active sheet's workbook; nothing when the text is no reference or names no sheet there.
std::optional<Area> parse_reference(const State& state, std::u16string_view text);

}  // namespace tb::standin
