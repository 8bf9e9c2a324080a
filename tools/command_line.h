// The command line shared by the native `textbraid` command and the Windows stand-in Excel
// application, so both take the same arguments and can be run on the same cases:
//   PROGRAM eval [--workbook FILE.xlsx] [--sheet NAME] [--legacy-host] [--disconnected]
//                [--max-cells N] [--json] FORMULA
//   PROGRAM calc FILE.xlsx [--max-cells N] [--json]
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "standin/workbook_data.h"

namespace tb::tools {

// A command line the tools cannot use; reported with the usage text and exit code 2.
class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command;  // "eval" or "calc"
    std::optional<std::string> workbook;
    std::optional<std::string> sheet;
    bool legacy = false;
    bool disconnected = false;
    bool json = false;
    std::optional<std::uint64_t> max_cells;  // the workbook's cell budget, when raised or lowered
    std::optional<std::string> formula;
};

// args[0] is the program; throws UsageError.
Options parse_command_line(const std::vector<std::string>& args);

std::string usage(const std::string& program);

// The index of the sheet with that name (letter case ignored); throws UsageError.
std::size_t sheet_index(const standin::WorkbookData& book, const std::string& name);

}  // namespace tb::tools
