// The limit check that answers from what the call's earlier probes showed must give exactly the
// answers of the one that asks the host after every append: over the case table and random
// joins, on hosts whose cell limit is 0, 1, 255, 32,767 or none, with few host evaluations; and
// on hosts that fail, answer other errors or refuse only a band of lengths, the answers its
// one assumption (answers grow with the length within one call) leads to.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>

#include "core/host/connection.h"
#include "core/worksheet/textbraid.h"
#include "standin/excel.h"
#include "tests/support/case_book.h"

namespace tb {

struct TextBraidInternals {
    static void AskAfterEveryAppend(TEXTBRAID& f) { f.probe_ahead_ = false; }
};

namespace {

// How a scripted host answers LEN(REPT("x", n)): a number up to `accepts`, #VALUE! up to
// `refuses`, then as `above` says; the call numbered failing_call (from 1) fails whatever n.
struct ProbeHost {
    enum Above { fails, num, accepts_again };
    double accepts;
    double refuses;
    Above above;
    int failing_call = 0;
};

// An Application whose limit probes a ProbeHost answers; every other call goes to the stand-in's.
class ScriptedProbes final : public HostObject {
  public:
    ScriptedProbes(ObjectRef application, ProbeHost host)
        : application_(std::move(application)), host_(host) {}
    void add_ref() noexcept override { ++refs_; }
    void release() noexcept override {
        if (--refs_ == 0) delete this;
    }
    Value invoke(std::u16string_view member, InvokeKind kind,
                 std::span<const Value> args) override {
        static constexpr std::u16string_view probe = u"=LEN(REPT(\"x\", ";
        double n = 0;
        if (!iequals(member, u"Evaluate") || !args[0].string_value().starts_with(probe) ||
            !parse_number(std::u16string_view(args[0].string_value())
                              .substr(probe.size())
                              .substr(0, args[0].string_value().size() - probe.size() - 2),
                          n)) {
            return application_->invoke(member, kind, args);
        }
        if (++calls_ == host_.failing_call || (n > host_.refuses && host_.above == host_.fails))
            fail(hr::fail, "the host failed");
        if (n <= host_.accepts || (n > host_.refuses && host_.above == host_.accepts_again))
            return Value::number(n);
        return Value::xl_error(n <= host_.refuses ? xlerr::value : xlerr::num);
    }
    ObjectRef query(const Guid&) override { return ObjectRef::share(this); }
    std::uint32_t connect_events(const Guid& source, EventSink& sink) override {
        return application_->connect_events(source, sink);
    }
    void disconnect_events(std::uint32_t cookie) override {
        application_->disconnect_events(cookie);
    }

  private:
    ObjectRef application_;
    ProbeHost host_;
    int calls_ = 0;
    int refs_ = 1;
};

struct Run {
    std::string shown;
    std::uint64_t probes;
};

Run run(standin::Excel& excel, const std::u16string& formula, bool ahead,
        const ProbeHost* host = nullptr) {
    TEXTBRAID function(nullptr);
    if (!ahead) TextBraidInternals::AskAfterEveryAppend(function);
    OnConnection(host ? ObjectRef::adopt(new ScriptedProbes(excel.application(), *host))
                      : excel.application(),
                 nullptr);
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

// Each row: the host, the arguments, what asking after every append shows and what asking ahead
// of need shows. The first six agree, the host asked the length itself wherever a look-ahead
// gave no clear answer. The last three are where answers that do not grow with the length make
// them differ, as the limit check's comment says: a failed call or a failure above a refused
// band is a fit to the one and not to the other, and an accepted length above a refused band
// vouches for the shorter length.
TEST(LimitProbe, HostsThatFailOrAnswerOtherErrors) {
    const std::u16string limit(kCellLimitText);
    const std::u16string joined = u"aaaaaa,bbbbbb", twelve(12, u'a');
    const double none = std::numeric_limits<double>::infinity();
    using H = ProbeHost;
    const std::tuple<ProbeHost, const char16_t*, std::u16string, std::u16string> rows[] = {
        {{10, 15, H::fails}, u"\",\",TRUE,FALSE,A2", limit, limit},
        {{10, 15, H::num}, u"\",\",TRUE,FALSE,A2", limit, limit},
        {{3, 5, H::fails}, u"\",,\",FALSE,FALSE,A1:B1,\"z\"", limit, limit},
        {{-1, -1, H::fails}, u"\",\",FALSE,FALSE,A1:B1", joined, joined},
        {{10, 15, H::accepts_again}, u"\",\",TRUE,FALSE,A1:B1", limit, limit},
        {{-1, 10, H::num}, u"\",\",TRUE,FALSE,A2", twelve, twelve},
        {{10, none, H::fails, 2}, u"\",\",TRUE,FALSE,A1:B1", joined, limit},
        {{10, 15, H::fails}, u"\",\",TRUE,FALSE,A1,A2", u"aaaaaa," + twelve, limit},
        {{10, 15, H::accepts_again}, u"\",\",TRUE,FALSE,A2", limit, twelve}};
    standin::WorkbookData book;
    auto& sheet = book.sheets.emplace_back();
    sheet.name = u"Sheet1";
    sheet.set(1, 1, Value::string(u"aaaaaa"));
    sheet.set(1, 2, Value::string(u"bbbbbb"));
    sheet.set(2, 1, Value::string(twelve));
    standin::Excel excel;
    excel.open(std::move(book));
    for (const auto& [host, arguments, every, ahead] : rows) {
        const std::u16string formula = u"TEXTBRAID(" + std::u16string(arguments) + u")";
        EXPECT_EQ(run(excel, formula, false, &host).shown, utf8(every)) << utf8(formula);
        EXPECT_EQ(run(excel, formula, true, &host).shown, utf8(ahead)) << utf8(formula);
    }
}

}  // namespace
}  // namespace tb
