#include "tools/command_line.h"

namespace tb::tools {

Options parse_command_line(const std::vector<std::string>& args) {
    if (args.size() < 2) throw UsageError("no command given");
    Options options;
    options.command = args[1];
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
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            throw UsageError("unknown option '" + arg + "'");
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 1) {
        throw UsageError(eval ? "eval takes one FORMULA" : "calc takes one FILE.xlsx");
    }
    if (eval) {
        options.formula = positional[0];
    } else {
        options.workbook = positional[0];
    }
    if (options.sheet && !options.workbook) throw UsageError("--sheet needs --workbook");
    return options;
}

std::string usage(const std::string& program) {
    return "usage: " + program +
           " eval [--workbook FILE.xlsx] [--sheet NAME] [--legacy-host] [--disconnected] "
           "[--max-cells N] [--json] FORMULA\n       " +
           program + " calc FILE.xlsx [--max-cells N] [--json]";
}

std::size_t sheet_index(const standin::WorkbookData& book, const std::string& name) {
    const std::u16string wanted = utf16(name);
    for (std::size_t i = 0; i < book.sheets.size(); ++i) {
        if (iequals(book.sheets[i].name, wanted)) return i;
    }
    throw UsageError("the workbook has no sheet named '" + name + "'");
}

}  // namespace tb::tools
