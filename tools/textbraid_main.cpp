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
#include "tools/output.h"

namespace {

using namespace tb;

constexpr int kBadInput = 2;

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char* const kUsage =
    "usage: textbraid eval [--workbook FILE.xlsx] [--sheet NAME] [--legacy-host] "
    "[--disconnected] [--json] FORMULA\n"
    "       textbraid calc FILE.xlsx [--json]";

struct Options {
    std::string command;
    std::optional<std::string> workbook;
    std::optional<std::string> sheet;
    bool legacy = false;
    bool disconnected = false;
    bool json = false;
    std::optional<std::string> formula;
};

Options parse_command_line(int argc, char** argv) {
    if (argc < 2) throw UsageError("no command given");
    Options options;
    options.command = argv[1];
    if (options.command != "eval" && options.command != "calc") {
        throw UsageError("unknown command '" + options.command + "'");
    }
    std::vector<std::string> positional;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value_of = [&](const char* name) {
            if (i + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
            return std::string(argv[++i]);
        };
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--workbook" && options.command == "eval") {
            options.workbook = value_of("--workbook");
        } else if (arg == "--sheet" && options.command == "eval") {
            options.sheet = value_of("--sheet");
        } else if (arg == "--legacy-host" && options.command == "eval") {
            options.legacy = true;
        } else if (arg == "--disconnected" && options.command == "eval") {
            options.disconnected = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            throw UsageError("unknown option '" + arg + "'");
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 1) {
        throw UsageError(options.command == "eval" ? "eval takes one FORMULA"
                                                   : "calc takes one FILE.xlsx");
    }
    if (options.command == "eval") {
        options.formula = positional[0];
    } else {
        options.workbook = positional[0];
    }
    return options;
}

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
            formula, [&function](std::u16string_view name, std::span<const Value> args,
                                 Value& result) {
                if (!iequals(name, u"TEXTBRAID")) return false;
                result = function(args);
                return true;
            });
        return outcome;
    }

private:
    standin::Excel& excel_;
};

std::size_t sheet_index(const standin::WorkbookData& book, const std::string& name) {
    const std::u16string wanted = utf16(name);
    for (std::size_t i = 0; i < book.sheets.size(); ++i) {
        if (iequals(book.sheets[i].name, wanted)) return i;
    }
    throw UsageError("the workbook has no sheet named '" + name + "'");
}

int run_eval(const Options& options) {
    standin::Excel excel(options.legacy ? standin::Profile::Legacy : standin::Profile::Modern);
    if (options.workbook) {
        standin::WorkbookData book = standin::read_xlsx(*options.workbook);
        const std::size_t sheet = options.sheet ? sheet_index(book, *options.sheet) : 0;
        excel.open(std::move(book));
        excel.set_active_sheet(0, sheet);
    } else if (options.sheet) {
        throw UsageError("--sheet needs --workbook");
    }
    AddinSession session(excel, !options.disconnected);
    const tools::Outcome outcome = session.evaluate(utf16(*options.formula));
    tools::print(std::cout, std::cerr, outcome, options.json, std::nullopt);
    return 0;
}

int run_calc(const Options& options) {
    standin::Excel excel;
    excel.open(standin::read_xlsx(*options.workbook));
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
        const Options options = parse_command_line(argc, argv);
        return options.command == "eval" ? run_eval(options) : run_calc(options);
    } catch (const UsageError& e) {
        std::cerr << "textbraid: " << e.what() << "\n" << kUsage << "\n";
        return kBadInput;
    } catch (const tb::Failure& e) {
        std::cerr << "textbraid: the formula does not parse: " << e.what() << "\n";
        return kBadInput;
    } catch (const std::exception& e) {
        std::cerr << "textbraid: " << e.what() << "\n";
        return kBadInput;
    }
}
