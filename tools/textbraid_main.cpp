// textbraid: evaluates TEXTBRAID formulas against a workbook file with the stand-in Excel and the
// worksheet function, as Excel would with the add-in loaded. The command line, the output and
// the exit statuses are described by `textbraid --help` (tools/command_line.cpp).
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/host/connection.h"
#include "core/worksheet/textbraid.h"
#include "standin/excel.h"
#include "tools/command_line.h"
#include "tools/output.h"
#include "tools/session.h"

namespace {

using namespace tb;
using tools::Options;
using tools::UsageError;

// The add-in as Excel holds it: connected to the stand-in's Application on this thread, with
// the worksheet function's help boxes recorded instead of shown.
class Addin {
  public:
    Addin(standin::Excel& excel, bool connect)
        : function_(
              [this](const std::u16string& text, const std::u16string& title, std::uint32_t style) {
                  boxes_.push_back({text, title, style});
              }) {
        if (connect) {
            OnConnection(excel.application(), [] { return std::make_shared<CExcelEvents>(); });
        }
    }
    ~Addin() { OnDisconnection(); }
    Addin(const Addin&) = delete;
    Addin& operator=(const Addin&) = delete;

    // TEXTBRAID through the add-in; no other function.
    standin::FunctionResolver resolver() {
        return [this](std::u16string_view name, std::span<const Value> args, Value& result) {
            if (!iequals(name, u"TEXTBRAID")) return false;
            result = function_(args);
            return true;
        };
    }
    std::vector<tools::BoxShown> take_boxes() { return std::exchange(boxes_, {}); }

  private:
    std::vector<tools::BoxShown> boxes_;
    TEXTBRAID function_;
};

int run(const Options& options) {
    tools::Input input = tools::read_input(options, std::cin);
    standin::Excel excel(options.legacy ? standin::Profile::Legacy : standin::Profile::Modern);
    tools::open_input(excel, input);
    Addin addin(excel, !options.disconnected);
    tools::Session session(
        excel, "textbraid", addin.resolver(), [&addin] { return addin.take_boxes(); }, std::cout,
        std::cerr);
    return options.command == "eval" ? session.eval(input.formulas, options.json)
                                     : session.calc(options.json);
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
        return run(options);
    } catch (const UsageError& e) {
        std::cerr << "textbraid: " << e.what() << "\n" << tools::usage_hint("textbraid") << "\n";
        return tools::kBadInput;
    } catch (const std::exception& e) {
        std::cerr << "textbraid: " << e.what() << "\n";
        return tools::kBadInput;
    }
}
