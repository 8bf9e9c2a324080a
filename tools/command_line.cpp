#include "tools/command_line.h"

#include <algorithm>

#include "standin/formula.h"
#include "standin/xlsx/xlsx_reader.h"
#include "tb_version.h"

namespace tb::tools {

Options parse_command_line(const std::vector<std::string>& args) {
    Options options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--") break;
        if (args[i] == "--help" || args[i] == "-h") {
            options.command = "help";
            return options;
        }
    }
    if (args.size() < 2) throw UsageError("no command given");
    options.command = args[1];
    if (options.command == "--version") {
        if (args.size() > 2) throw UsageError("--version takes no arguments");
        options.command = "version";
        return options;
    }
    if (options.command != "eval" && options.command != "calc") {
        throw UsageError("unknown command '" + options.command + "'");
    }
    const bool eval = options.command == "eval";
    std::vector<std::string> positional;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value_of = [&](const char* name) {
            if (i + 1 >= args.size()) throw UsageError(std::string(name) + " needs a value");
            return args[++i];
        };
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--max-cells") {
            const std::string n = value_of("--max-cells");
            if (n.empty() || n.size() > 12 ||
                n.find_first_not_of("0123456789") != std::string::npos)
                throw UsageError("--max-cells takes a whole number");
            options.max_cells = std::stoull(n);
        } else if (arg == "--workbook" && eval) {
            options.workbook = value_of("--workbook");
        } else if (arg == "--sheet" && eval) {
            options.sheet = value_of("--sheet");
        } else if (arg == "--legacy-host" && eval) {
            options.legacy = true;
        } else if (arg == "--disconnected" && eval) {
            options.disconnected = true;
        } else if (arg == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                              args.end());
            break;
        } else if (arg.size() > 1 && arg[0] == '-' && (arg[1] == '-' || eval == false)) {
            throw UsageError("unknown option '" + arg + "' for " + options.command);
        } else {
            positional.push_back(arg);
        }
    }
    if (eval) {
        if (positional.empty()) throw UsageError("eval needs a FORMULA (or - to read them)");
        if (positional.size() > 1 &&
            std::find(positional.begin(), positional.end(), "-") != positional.end()) {
            throw UsageError("eval takes either formulas or -, not both");
        }
        options.formulas = std::move(positional);
    } else {
        if (positional.size() != 1) throw UsageError("calc takes one FILE.xlsx (or -)");
        options.workbook = positional[0];
    }
    if (options.sheet && !options.workbook) throw UsageError("--sheet needs --workbook");
    if (options.workbook == "-" && eval) throw UsageError("--workbook needs a file");
    return options;
}

std::string usage_hint(const std::string& program) {
    return "Try '" + program + " --help' for more information.";
}

std::string version_line(const std::string& program) {
    return program + " " + TB_VERSION_TEXT;
}

std::string help(const std::string& program) {
    // "Functions the stand-in evaluates: A, B, …," wrapped at 90 columns.
    std::string functions = "Functions the stand-in evaluates:";
    std::size_t line_start = 0;
    for (std::u16string_view name : standin::builtin_names()) {
        const std::string word = " " + utf8(name) + ",";
        if (functions.size() - line_start + word.size() > 90) {
            functions += "\n";
            line_start = functions.size();
            functions += utf8(name) + ",";
        } else {
            functions += word;
        }
    }
    const std::string& p = program;
    return "usage: " + p +
           " eval [--workbook FILE.xlsx] [--sheet NAME] [--legacy-host] [--disconnected]\n"
           "                      [--max-cells N] [--json] FORMULA... | -\n"
           "       " +
           p +
           " calc FILE.xlsx|- [--max-cells N] [--json]\n"
           "       " +
           p +
           " --help | --version\n"
           "\n"
           "Evaluates TEXTBRAID formulas with a stand-in Excel that has the add-in loaded.\n"
           "\n"
           "  eval      Evaluates each FORMULA in order (US syntax, the leading = optional), one\n"
           "            output line each, one that does not parse included (#NAME?). With -,\n"
           "            reads the formulas from standard input, one per line (blank lines and a\n"
           "            leading byte-order mark skipped). Without --workbook a new blank workbook\n"
           "            is open, as when Excel starts.\n"
           "  calc      Evaluates every formula cell of the workbook that calls TEXTBRAID, sheet "
           "by\n"
           "            sheet and row by row, and prints SHEET!CELL<TAB>RESULT. With -, reads the\n"
           "            workbook from standard input. A formula cell that another formula reads\n"
           "            is evaluated first (once), whatever value the file saved for it; one\n"
           "            the stand-in cannot compute (a function or name it does not know, a\n"
           "            formula it cannot parse) keeps the value the file saved.\n"
           "\n"
           "  --workbook FILE.xlsx  open this workbook (eval)\n"
           "  --sheet NAME          the sheet plain references such as A1 refer to (default: the\n"
           "                        first)\n"
           "  --legacy-host         act as an Excel before 2007: 65,536 rows x 256 columns and no\n"
           "                        Range.CountLarge, so the function counts cells the old way\n"
           "  --disconnected        do not connect the add-in to Excel (as when its COM add-in\n"
           "                        is not loaded): the function cannot reach Excel and gives\n"
           "                        #VALUE!\n"
           "  --max-cells N         the most cells a workbook may hold (default 10000000); a\n"
           "                        larger one is refused before it takes the memory\n"
           "  --json                print JSON Lines instead (below)\n"
           "  -h, --help            print this help\n"
           "  --version             print the version\n"
           "\n"
           "Output: one line per formula, the result as the cell shows it; in a result a tab, a\n"
           "line feed, a carriage return and a backslash are written \\t, \\n, \\r and \\\\, so "
           "every\n"
           "result stays on its line. A message box the function would show goes to standard\n"
           "error as [TITLE] TEXT.\n"
           "With --json, JSON Lines: one object per formula, on one line, in order:\n"
           "  {\"cell\": \"Sheet1!B2\", \"type\": \"text\", \"value\": \"a,b\", \"boxes\": []}\n"
           "  cell   calc only: the formula's cell\n"
           "  index  eval only: the formula's position, from 1\n"
           "  type   text, number, boolean or error\n"
           "  value  the exact text (a JSON string; booleans as JSON values; numbers as the\n"
           "         shortest JSON number that reads back as the same double; an error as its\n"
           "         text, such as \"#N/A\")\n"
           "  boxes  the message boxes the call showed: {\"title\", \"text\", \"style\"}, where "
           "style\n"
           "         is the box's Windows MessageBox style number (16: a stop icon and an OK\n"
           "         button)\n"
           "\n" +
           functions +
           "\n"
           "and TEXTBRAID through the add-in; the operators + - * / ^ % & = <> < > <= >= and the\n"
           "union (A1:A2,C1:C2); the workbook's defined names (a sheet's own before the\n"
           "workbook's). Any other function or name gives #NAME? and a note on standard error.\n"
           "\n"
           "Displayed text (use_formats TRUE, and results shown in General form) is what a wide\n"
           "enough column shows: column widths are not read, so where Excel shows #### or fewer\n"
           "digits of a General number in a narrow column, the stand-in shows the whole text.\n"
           "\n"
           "Exit status:\n"
           "  0  every formula was evaluated (a result that is an error value included)\n"
           "  1  some formulas or cells could not be evaluated: an unsupported function, an\n"
           "     unknown name, a cell formula that does not parse, a circular reference, a chain\n"
           "     of more than 128 formula cells each waiting for the next. Each gets one line\n"
           "     on standard error naming it and why, its result is the error Excel would show\n"
           "     (or the value the file saved), and the other formulas go on.\n"
           "  2  a bad command line, an unreadable or invalid workbook (two sheets of one name,\n"
           "     a sheet without a name), an unknown sheet, or an eval formula that does not\n"
           "     parse (its line says #NAME?, standard error says \"formula N does not parse\"\n"
           "     and why, and the other formulas go on)\n";
}

std::vector<std::string> formulas_of(const Options& options, std::istream& in) {
    if (options.formulas.size() != 1 || options.formulas[0] != "-") return options.formulas;
    std::vector<std::string> formulas;
    std::string line;
    for (bool first = true; std::getline(in, line); first = false) {
        if (first && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);  // a byte-order mark
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        formulas.push_back(line);
    }
    return formulas;
}

standin::WorkbookData read_workbook(const Options& options, std::istream& in) {
    const std::string& name = *options.workbook;
    const std::uint64_t max_cells = options.max_cells.value_or(standin::default_max_cells);
    if (name != "-") return standin::read_xlsx(name, max_cells);
    std::string bytes;
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0)
        bytes.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    return standin::read_xlsx(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
        "standard input", max_cells);
}

std::size_t sheet_index(const standin::WorkbookData& book, const std::string& name) {
    const std::u16string wanted = utf16(name);
    for (std::size_t i = 0; i < book.sheets.size(); ++i) {
        if (iequals(book.sheets[i].name, wanted)) return i;
    }
    throw UsageError("the workbook has no sheet named '" + name + "'");
}

}  // namespace tb::tools
