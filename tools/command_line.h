// The command line shared by the native `textbraid` command and the Windows stand-in Excel
// application, so both take the same arguments, read the same input and can be run on the
// same cases:
//   PROGRAM eval [--workbook FILE.xlsx] [--sheet NAME] [--legacy-host] [--disconnected]
//                [--max-cells N] [--json] FORMULA... | -
//   PROGRAM calc FILE.xlsx|- [--max-cells N] [--json]
//   PROGRAM --help | --version
#pragma once

#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "standin/workbook_data.h"

namespace tb::tools {

// Exit statuses.
inline constexpr int kEvaluated = 0;   // every formula evaluated (error results included)
inline constexpr int kSomeFailed = 1;  // some formulas or cells could not be evaluated
inline constexpr int kBadInput = 2;    // bad command line, workbook, sheet or formula

// A command line the tools cannot use; reported in one line with a hint to --help, exit 2.
class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command;                  // "eval", "calc", "help" or "version"
    std::optional<std::string> workbook;  // "-" for calc: read from standard input
    std::optional<std::string> sheet;
    bool legacy = false;
    bool disconnected = false;
    bool json = false;
    std::vector<std::string> formulas;       // eval; one "-": read them from standard input
    std::optional<std::uint64_t> max_cells;  // the workbook's cell budget, when raised or lowered
};

// args[0] is the program; throws UsageError.
Options parse_command_line(const std::vector<std::string>& args);

// The full text of --help.
std::string help(const std::string& program);
// The line a usage error ends with.
std::string usage_hint(const std::string& program);
// "PROGRAM VERSION".
std::string version_line(const std::string& program);

// The formulas of an eval: as given, or one per line of `in` (blank lines skipped, a
// carriage return before the line feed and a byte-order mark before the first line dropped).
std::vector<std::string> formulas_of(const Options& options, std::istream& in);

// The workbook named on the command line, or read from `in` for "-"; fails with a message
// naming it when it cannot be read or is invalid.
standin::WorkbookData read_workbook(const Options& options, std::istream& in);

// The index of the sheet with that name (letter case ignored); throws UsageError.
std::size_t sheet_index(const standin::WorkbookData& book, const std::string& name);

}  // namespace tb::tools
