// The workbook and the table of formulas that the worksheet function is checked against, shared
// by the native tests and the end-to-end tests through the real DLL, so both paths answer the
// same cases.
#pragma once

#include <string>
#include <tuple>
#include <vector>

#include "standin/excel.h"
#include "standin/workbook_data.h"

namespace tb::testing {

struct FormulaCase {
    const char* name;
    std::u16string formula;
    std::u16string expected;  // as the cell shows it: the text, or #VALUE!, #N/A, …
    bool help_box = false;    // whether the call shows the help box
};

// Sheet1:  A1 "a"  B1 (empty)  C1 "b"
//          A2 1.5 "0.00"  B2 45293 "m/d/yyyy"  C2 TRUE
//          A3 #N/A  B3 "x"  C3 7
//          A4 #DIV/0!  B4 "say ""hi"""  C4 "007"
//          E1 "tl" F1 "tr" / E2 "bl" F2 "br"
//          G1 20,000 × "x", G2 20,000 × "y"
//          H1:H5 empty, J1 1234.5 "#,##0.00"  J2 0.25 "0%"  J3 -3 "#,##0;(#,##0)"
//          L6 =UPPER("c")  L7 =TEXTBRAID("|",TRUE,FALSE,L6,"end") (no saved results)
//          L8 #SPILL!  L9 #CALC!  L10 and L11: TEXTBRAID of each other (a cycle)
//          L12 =VLOOKUP(…) saved as "saved"  L13 =XLOOKUP(…) saved without a value
//          L14 =UPPER("new") saved as "old"
//          N20 "x", N21:N150 each =CONCATENATE of the cell above
// Sheet2:  A1 "other"
// Sheet3:  A1 =TEXTBRAID("+",TRUE,FALSE,Local,Sheet2!A1)
// Names:   Items E1:E2, Blocks E1:E2,F1:F2, Local C1 and (Sheet1's own) A1, Twice (Sheet2's
//          own) Sheet2!A1&Sheet2!A1, Loop (refers to itself)
standin::WorkbookData case_book();

std::vector<FormulaCase> formula_cases();

// A case's test name in one grid profile, e.g. "Legacy_61_skips_empty_cells": unique and the
// same on every run (printed as parameters, the cases would show their bytes, addresses
// included, and every run would list other test names).
std::string case_test_name(bool legacy, std::size_t index, const FormulaCase& c);

// The name generator of a suite over (profile, case) pairs.
struct CaseTestName {
    template <class Row>
    std::string operator()(const Row& row) const {
        return case_test_name(std::get<0>(row.param) == standin::Profile::Legacy, row.index,
                              std::get<1>(row.param));
    }
};

}  // namespace tb::testing
