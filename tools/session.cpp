#include "tools/session.h"

#include <utility>

namespace tb::tools {

Input read_input(const Options& options, std::istream& in) {
    Input input;
    if (options.workbook) {
        input.book = read_workbook(options, in);
        if (options.sheet) input.sheet = sheet_index(*input.book, *options.sheet);
    }
    input.formulas = formulas_of(options, in);
    return input;
}

void open_input(standin::Excel& excel, Input& input) {
    if (!input.book) {
        excel.add_new_workbook();
        return;
    }
    excel.open(std::move(*input.book));
    input.book.reset();
    excel.set_active_sheet(excel.workbook_count() - 1, input.sheet);
}

Session::Session(standin::Excel& excel, std::string program, standin::FunctionResolver resolver,
                 TakeBoxes take_boxes, std::ostream& out, std::ostream& err)
    : excel_(excel),
      program_(std::move(program)),
      take_boxes_(std::move(take_boxes)),
      out_(out),
      err_(err) {
    // Formula cells are evaluated once for the whole run.
    excel_.begin_recalculation(std::move(resolver));
}

Session::~Session() {
    excel_.end_recalculation();
}

bool Session::report_problems() {
    const std::vector<std::string> problems = excel_.take_problems();
    print_problems(err_, program_, problems);
    return !problems.empty();
}

int Session::eval(const std::vector<std::string>& formulas, bool json) {
    int status = kEvaluated;
    for (std::size_t i = 0; i < formulas.size(); ++i) {
        Outcome outcome;
        const std::string which = program_ + ": formula " + std::to_string(i + 1);
        try {
            outcome.result = excel_.evaluate(utf16(formulas[i]));
        } catch (const Failure& e) {
            // Its line is still printed, so results stay paired with their formulas.
            const bool parse = e.hresult() == hr::invalid_arg;
            err_ << which << (parse ? " does not parse: " : " cannot be evaluated: ") << e.what()
                 << (parse ? " (gives #NAME?)\n" : " (gives #VALUE!)\n");
            outcome.result = Value::xl_error(parse ? xlerr::name : xlerr::value);
            if (parse) status = kBadInput;
            if (!parse && status == kEvaluated) status = kSomeFailed;
        }
        outcome.boxes = take_boxes_();
        print(out_, err_, outcome, json, std::nullopt, i + 1);
        if (report_problems() && status == kEvaluated) status = kSomeFailed;
    }
    return status;
}

int Session::calc(bool json) {
    int status = kEvaluated;
    const standin::WorkbookData& book = excel_.workbook(0);
    for (std::size_t s = 0; s < book.sheets.size(); ++s) {
        for (const FormulaCell& cell : textbraid_cells(book.sheets[s])) {
            Outcome outcome;
            outcome.result = excel_.cell_value(0, s, cell.row, cell.column);
            outcome.boxes = take_boxes_();
            print(out_, err_, outcome, json, cell_name(book.sheets[s].name, cell.row, cell.column));
            if (report_problems()) status = kSomeFailed;
        }
    }
    return status;
}

}  // namespace tb::tools
