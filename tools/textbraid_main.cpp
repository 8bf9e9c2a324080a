// textbraid: evaluates TEXTBRAID formulas against a workbook file with the stand-in Excel and the
// worksheet function, as Excel would with the add-in loaded. The command line, the output and
// the exit statuses are described by `textbraid --help` (tools/command_line.cpp).
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/host/connection.h"
#include "core/worksheet/textbraid.h"
#include "standin/excel.h"
#include "tools/command_line.h"
#include "tools/output.h"

namespace {

using namespace tb;
using tools::Options;
using tools::UsageError;

// The add-in as Excel holds it: connected to the stand-in's Application on this thread, with
// the worksheet function's help boxes recorded instead of shown.
class AddinSession {
  public:
    AddinSession(standin::Excel& excel, bool connect)
        : excel_(excel),
          function_(
              [this](const std::u16string& text, const std::u16string& title, std::uint32_t style) {
                  boxes_.push_back({text, title, style});
              }) {
        if (connect) {
            OnConnection(excel.application(), [] { return std::make_shared<CExcelEvents>(); });
        }
        // Formula cells are evaluated once for the whole run, TEXTBRAID through the add-in.
        excel_.begin_recalculation(
            [this](std::u16string_view name, std::span<const Value> args, Value& result) {
                if (!iequals(name, u"TEXTBRAID")) return false;
                result = function_(args);
                return true;
            });
    }
    ~AddinSession() {
        excel_.end_recalculation();
        OnDisconnection();
    }
    AddinSession(const AddinSession&) = delete;
    AddinSession& operator=(const AddinSession&) = delete;

    tools::Outcome evaluate(std::u16string_view formula) {
        boxes_.clear();
        tools::Outcome outcome;
        outcome.result = excel_.evaluate(formula);
        outcome.boxes = std::move(boxes_);
        return outcome;
    }
    tools::Outcome cell(std::size_t sheet, std::uint32_t row, std::uint32_t column) {
        boxes_.clear();
        tools::Outcome outcome;
        outcome.result = excel_.cell_value(0, sheet, row, column);
        outcome.boxes = std::move(boxes_);
        return outcome;
    }
    // Prints what could not be evaluated since the last call; true when there was anything.
    bool report_problems() {
        const std::vector<std::string> problems = excel_.take_problems();
        tools::print_problems(std::cerr, "textbraid", problems);
        return !problems.empty();
    }

  private:
    standin::Excel& excel_;
    std::vector<tools::BoxShown> boxes_;
    TEXTBRAID function_;
};

int run_eval(const Options& options) {
    standin::Excel excel(options.legacy ? standin::Profile::Legacy : standin::Profile::Modern);
    if (options.workbook) {
        standin::WorkbookData book = tools::read_workbook(options, std::cin);
        const std::size_t sheet = options.sheet ? tools::sheet_index(book, *options.sheet) : 0;
        excel.open(std::move(book));
        excel.set_active_sheet(0, sheet);
    } else {
        excel.add_new_workbook();  // Excel starts with a new blank workbook
    }
    const std::vector<std::string> formulas = tools::formulas_of(options, std::cin);
    AddinSession session(excel, !options.disconnected);
    int status = tools::kEvaluated;
    for (std::size_t i = 0; i < formulas.size(); ++i) {
        try {
            const tools::Outcome outcome = session.evaluate(utf16(formulas[i]));
            tools::print(std::cout, std::cerr, outcome, options.json, std::nullopt);
        } catch (const Failure& e) {
            std::cerr << "textbraid: "
                      << (formulas.size() > 1 ? "formula " + std::to_string(i + 1)
                                              : std::string("the formula"))
                      << " does not parse: " << e.what() << "\n";
            status = tools::kBadInput;
        }
        if (session.report_problems() && status == tools::kEvaluated) status = tools::kSomeFailed;
    }
    return status;
}

int run_calc(const Options& options) {
    standin::Excel excel;
    excel.open(tools::read_workbook(options, std::cin));
    AddinSession session(excel, true);
    int status = tools::kEvaluated;
    // Formula cells in sheet order, then row by row.
    const standin::WorkbookData& book = excel.workbook(0);
    for (std::size_t s = 0; s < book.sheets.size(); ++s) {
        for (const tools::FormulaCell& cell : tools::textbraid_cells(book.sheets[s])) {
            const tools::Outcome outcome = session.cell(s, cell.row, cell.column);
            tools::print(std::cout, std::cerr, outcome, options.json,
                         tools::cell_name(book.sheets[s].name, cell.row, cell.column));
            if (session.report_problems()) status = tools::kSomeFailed;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options =
            tools::parse_command_line(std::vector<std::string>(argv, argv + argc));
        if (options.command == "help") {
            std::cout << tools::help("textbraid");
            return tools::kEvaluated;
        }
        if (options.command == "version") {
            std::cout << tools::version_line("textbraid") << "\n";
            return tools::kEvaluated;
        }
        return options.command == "eval" ? run_eval(options) : run_calc(options);
    } catch (const UsageError& e) {
        std::cerr << "textbraid: " << e.what() << "\n" << tools::usage_hint("textbraid") << "\n";
        return tools::kBadInput;
    } catch (const std::exception& e) {
        std::cerr << "textbraid: " << e.what() << "\n";
        return tools::kBadInput;
    }
}
