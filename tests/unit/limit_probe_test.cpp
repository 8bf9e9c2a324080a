// The limit check that answers from what the call's earlier probes showed must give exactly the
// answers of the one that asks the host after every append: over the case table and random
// joins, on hosts whose cell limit is 0, 1, 255, 32,767 or none, with few host evaluations.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <string>

#include "core/host/connection.h"
#include "core/worksheet/textbraid.h"
#include "standin/excel.h"
#include "tests/support/case_book.h"

namespace tb {

struct TextBraidInternals {
    static void AskAfterEveryAppend(TEXTBRAID& f) { f.probe_ahead_ = false; }
};

namespace {

struct Run {
    std::string shown;
    std::uint64_t probes;
};

Run run(standin::Excel& excel, const std::u16string& formula, bool ahead) {
    TEXTBRAID function(nullptr);
    if (!ahead) TextBraidInternals::AskAfterEveryAppend(function);
    OnConnection(excel.application(), nullptr);
    excel.reset_counts();
    const Value v =
        excel.evaluate(formula, [&](std::u16string_view, std::span<const Value> args, Value& out) {
            out = function(args);
            return true;
        });
    const std::uint64_t probes = excel.calls(u"Application.Evaluate");
    OnDisconnection();
    EXPECT_EQ(excel.live_objects(), 0);
    const std::string shown =
        v.is_error() ? "error " + std::to_string(v.error_code()) : utf8(v.joined_text());
    return {shown, probes};
}

void expect_same(standin::Excel& excel, const std::u16string& formula, std::uint64_t most_probes) {
    const Run every = run(excel, formula, false);
    const Run ahead = run(excel, formula, true);
    EXPECT_EQ(ahead.shown, every.shown) << utf8(formula);
    EXPECT_LE(ahead.probes, most_probes) << utf8(formula) << " gave " << every.shown.substr(0, 40);
}

const std::optional<std::size_t> kLimits[] = {0, 1, 255, 32767, std::nullopt};

TEST(LimitProbe, AnswersAsAskingAfterEveryAppend) {
    for (const auto& limit : kLimits) {
        standin::Excel cases;
        cases.set_cell_text_limit(limit);
        cases.open(testing::case_book());
        for (const testing::FormulaCase& c : testing::formula_cases()) {
            // Without a limit, a whole column with empties kept would be walked cell by cell.
            if (limit || c.expected != kCellLimitText) expect_same(cases, c.formula, 40);
        }

        // Random joins over a column of texts whose lengths span several powers of two.
        std::mt19937 engine(13);
        auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
        standin::WorkbookData book;
        auto& sheet = book.sheets.emplace_back();
        sheet.name = u"Sheet1";
        const std::size_t lengths[] = {0, 0, 1, 1, 2, 3, 7, 40, 250, 1000, 9000};
        for (std::uint32_t r = 1; r <= 300; ++r) {
            const std::size_t n = lengths[random() % std::size(lengths)];
            if (n > 0)
                sheet.set(r, 1 + r % 3,
                          Value::string(std::u16string(n, static_cast<char16_t>(u'a' + r % 26))));
        }
        standin::Excel excel;
        excel.set_cell_text_limit(limit);
        excel.open(std::move(book));
        const char16_t* delimiters[] = {u"\"\"", u"\",\"", u"\" | \""};
        for (int k = 0; k < 60; ++k) {
            const std::uint32_t top = 1 + random() % 300;
            const std::uint32_t bottom = top + random() % 120;
            std::u16string formula = u"TEXTBRAID(";
            formula += delimiters[random() % 3];
            formula += random() % 2 ? u", TRUE, FALSE, A" : u", FALSE, FALSE, A";
            formula += utf16(std::to_string(top) + ":C" + std::to_string(bottom));
            formula += random() % 2 ? u", \"tail\")" : u")";
            expect_same(excel, formula, 2 * 24 + 4);  // twice log2 of the longest result, and a few
        }
    }
}

}  // namespace
}  // namespace tb
