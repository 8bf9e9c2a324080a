// One run of the command-line tools over a stand-in Excel: the formulas of an eval, or the
// formula cells of a calc, evaluated in one recalculation with the functions the stand-in does
// not know handed to the add-in; each result printed with the message boxes it showed, what
// could not be evaluated reported, and the exit status worked out. Shared by the native command
// and the Windows stand-in application, which differ only in how they reach the add-in.
#pragma once

#include <cstddef>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "standin/excel.h"
#include "tools/command_line.h"
#include "tools/output.h"

namespace tb::tools {

// What a run reads before anything starts, so that bad input ends it quietly: the workbook,
// the sheet plain references refer to, and the formulas of an eval.
struct Input {
    std::optional<standin::WorkbookData> book;
    std::size_t sheet = 0;
    std::vector<std::string> formulas;
};
Input read_input(const Options& options, std::istream& in);

// Opens the input's workbook (taking it) with its sheet active, or a new blank workbook, as
// Excel starts.
void open_input(standin::Excel& excel, Input& input);

class Session {
  public:
    // The message boxes the add-in showed since the last call.
    using TakeBoxes = std::function<std::vector<BoxShown>()>;

    Session(standin::Excel& excel, std::string program, standin::FunctionResolver resolver,
            TakeBoxes take_boxes, std::ostream& out, std::ostream& err);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // One output line per formula, in order, a formula that does not parse included (#NAME?);
    // the exit status.
    int eval(const std::vector<std::string>& formulas, bool json);
    // Every formula cell that calls TEXTBRAID, sheet by sheet and row by row; the exit status.
    int calc(bool json);

  private:
    // Prints what could not be evaluated since the last call; true when there was anything.
    bool report_problems();

    standin::Excel& excel_;
    std::string program_;
    TakeBoxes take_boxes_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace tb::tools
