// textbraid: evaluates TEXTBRAID formulas against a workbook file with the stand-in Excel and the
// worksheet function, as Excel would with the add-in loaded.
//
//   textbraid eval [--workbook FILE.xlsx] [--sheet NAME] [--legacy-host] [--disconnected]
//                  [--json] FORMULA
//   textbraid calc FILE.xlsx [--json]
//
// Exit codes: 0 when the formulas were evaluated (an error value as a result included), 2 for a
// bad command line, an unreadable workbook, an unknown sheet or a formula that does not parse.
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/host/connection.h"
#include "server/worksheet/textbraid.h"
#include "standin/excel.h"
#include "standin/number_format.h"
#include "standin/xlsx/xlsx_reader.h"
#include "tools/command_line.h"
#include "tools/output.h"

namespace {

using namespace tb;
using tools::Options;
using tools::UsageError;

constexpr int kBadInput = 2;

// The add-in as Excel holds it: connected to the stand-in's Application on this thread, with
// the worksheet function's help box recorded instead of shown.
class AddinSession {
  public:
    AddinSession(standin::Excel& excel, bool connect) : excel_(excel) {
        if (connect) {
            OnConnection(excel.application(), [] { return std::make_shared<CExcelEvents>(); });
        }
    }
    ~AddinSession() { OnDisconnection(); }
    AddinSession(const AddinSession&) = delete;
    AddinSession& operator=(const AddinSession&) = delete;

    tools::Outcome evaluate(std::u16string_view formula) {
        tools::Outcome outcome;
        TEXTBRAID function([&outcome](const std::u16string& text, const std::u16string& title,
                                      std::uint32_t style) {
            outcome.boxes.push_back({text, title, style});
        });
        outcome.result = excel_.evaluate(
            formula,
            [&function](std::u16string_view name, std::span<const Value> args, Value& result) {
                if (!iequals(name, u"TEXTBRAID")) return false;
                result = function(args);
                return true;
            });
        return outcome;
    }

  private:
    standin::Excel& excel_;
};

int run_eval(const Options& options) {
    standin::Excel excel(options.legacy ? standin::Profile::Legacy : standin::Profile::Modern);
    if (options.workbook) {
        standin::WorkbookData book = standin::read_xlsx(
            *options.workbook, options.max_cells.value_or(standin::default_max_cells));
        const std::size_t sheet = options.sheet ? tools::sheet_index(book, *options.sheet) : 0;
        excel.open(std::move(book));
        excel.set_active_sheet(0, sheet);
    }
    AddinSession session(excel, !options.disconnected);
    const tools::Outcome outcome = session.evaluate(utf16(*options.formula));
    tools::print(std::cout, std::cerr, outcome, options.json, std::nullopt);
    return 0;
}

int run_calc(const Options& options) {
    standin::Excel excel;
    excel.open(standin::read_xlsx(*options.workbook,
                                  options.max_cells.value_or(standin::default_max_cells)));
    AddinSession session(excel, true);
    // Formula cells in sheet order, then row by row.
    const standin::WorkbookData& book = excel.workbook(0);
    for (std::size_t s = 0; s < book.sheets.size(); ++s) {
        for (const tools::FormulaCell& cell : tools::textbraid_cells(book.sheets[s])) {
            excel.set_active_sheet(0, s);
            const tools::Outcome outcome = session.evaluate(cell.formula);
            tools::print(std::cout, std::cerr, outcome, options.json,
                         tools::cell_name(book.sheets[s].name, cell.row, cell.column));
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options =
            tools::parse_command_line(std::vector<std::string>(argv, argv + argc));
        return options.command == "eval" ? run_eval(options) : run_calc(options);
    } catch (const UsageError& e) {
        std::cerr << "textbraid: " << e.what() << "\n" << tools::usage("textbraid") << "\n";
        return kBadInput;
    } catch (const tb::Failure& e) {
        std::cerr << "textbraid: the formula does not parse: " << e.what() << "\n";
        return kBadInput;
    } catch (const std::exception& e) {
        std::cerr << "textbraid: " << e.what() << "\n";
        return kBadInput;
    }
}
