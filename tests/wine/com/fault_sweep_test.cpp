// Host failures injected call by call through the real DLL: the stand-in Excel served over COM,
// the add-in connected through IDTExtensibility2, and for every host operation a formula makes
// and every k up to its call count, the k-th call fails while the stand-in evaluates the formula
// with TEXTBRAID called through IDispatch::Invoke. The answer is #VALUE! or, where the server
// absorbs the failure, the fault-free answer; Invoke always succeeds; and every stand-in object
// and every IDispatch wrapper is released after each call.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "server/com/bridge.h"
#include "server/com/textbraid_h.h"
#include "standin/excel.h"
#include "standin/number_format.h"
#include "tests/support/case_book.h"
#include "tests/wine/com/box_catcher.h"
#include "tests/wine/com/com_host.h"
#include "tests/wine/com/standin_dispatch.h"
#include "tests/wine/com/support.h"

namespace tb::wine {
namespace {

using com::com_ptr;
using standin::Excel;
using standin::Profile;

constexpr std::int32_t kHostFailure = static_cast<std::int32_t>(0x800A03EC);

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

// The add-in connected for the host's whole life; evaluate gives what the cell shows and the
// status of the DLL's Invoke.
class SweepHost : public ComHost {
  public:
    explicit SweepHost(Profile profile = Profile::Modern) : ComHost(profile) {
        EXPECT_EQ(connect_addin(), S_OK);
    }
    std::u16string evaluate(const std::u16string& formula, HRESULT& hr) {
        const Value v = ComHost::evaluate(formula);
        hr = last_invoke;
        return shown(v);
    }
};

struct SweepCase {
    const char* name;
    std::u16string formula;
    // Every Application.Evaluate of this formula is a limit probe (no item needs CONCATENATE).
    bool only_limit_probes;
};

const SweepCase kCases[] = {
    {"text range", u"TEXTBRAID(\",\", TRUE, FALSE, E1:F2)", true},
    {"ranges, whole column, value, array",
     u"TEXTBRAID(\"-\", TRUE, TRUE, A1:C2, E:E, 3, {1,2;\"p\",TRUE})", false},
    {"cell delimiter, switches from cells", u"TEXTBRAID(A2, C2, C2, E1:F1, , J1:J3)", false},
};

using Outcomes = std::map<std::pair<std::u16string, std::uint64_t>, std::u16string>;

// Fails every call of every operation in turn; returns what each failure gave.
// A legacy host keeps its CountLarge unknown throughout.
Outcomes sweep(SweepHost& host, const std::u16string& formula, const std::u16string& expected,
               bool legacy = false) {
    auto reset = [&] {
        host.excel.clear_faults();
        if (legacy) host.excel.make_unknown(u"Range.CountLarge");
    };
    HRESULT hr = S_OK;
    host.excel.reset_counts();
    host.evaluate(formula, hr);
    std::map<std::u16string, std::uint64_t> counts;
    for (const std::u16string& op : host.excel.operations())
        if (host.excel.calls(op) != 0) counts[op] = host.excel.calls(op);

    const std::int64_t live = host.excel.live_objects();
    const std::int64_t wrappers = live_dispatch_objects();
    Outcomes outcomes;
    for (const auto& [op, calls] : counts) {
        for (std::uint64_t k = 1; k <= calls; ++k) {
            reset();
            host.excel.fail_call(op, k, kHostFailure);
            const std::u16string got = host.evaluate(formula, hr);
            const std::string where = utf8(op) + " call " + std::to_string(k);
            EXPECT_EQ(hr, S_OK) << where;
            EXPECT_TRUE(got == u"#VALUE!" || got == expected) << where << " gave " << narrow(got);
            EXPECT_EQ(host.excel.live_objects(), live) << where << ": stand-in objects alive";
            EXPECT_EQ(live_dispatch_objects(), wrappers) << where << ": wrappers alive";
            outcomes[{op, k}] = got;
        }
    }
    reset();
    return outcomes;
}

TEST(FaultSweep, EveryOperationEveryCallThroughTheDll) {
    BoxCatcher catcher;
    SweepHost host;
    std::size_t failures = 0;
    for (const SweepCase& c : kCases) {
        HRESULT hr = S_OK;
        const std::u16string expected = host.evaluate(c.formula, hr);
        ASSERT_EQ(hr, S_OK);
        ASSERT_NE(expected, u"#VALUE!") << c.name << ": the fault-free answer";
        const Outcomes outcomes = sweep(host, c.formula, expected);
        failures += outcomes.size();

        // The count probe (the first sheet's Cells and their CountLarge) absorbs its failure:
        // cells are then counted with Count, which gives the same answer.
        EXPECT_EQ(outcomes.at({u"Worksheet.Cells", 1}), expected) << c.name;
        EXPECT_EQ(outcomes.at({u"Range.CountLarge", 1}), expected) << c.name;
        // The limit probe absorbs its failure as "fits".
        if (c.only_limit_probes) {
            for (const auto& [at, got] : outcomes) {
                if (at.first == u"Application.Evaluate") {
                    EXPECT_EQ(got, expected) << c.name << ": limit probe " << at.second;
                }
            }
        }
        // Every other absorbed failure is a limit probe's: no read of a cell, a count or an
        // object the join needs ever passes a failure off as an answer.
        for (const auto& [at, got] : outcomes) {
            if (got != expected) continue;
            const bool probe = at.first == u"Application.Evaluate" ||
                               (at.second == 1 && (at.first == u"Worksheet.Cells" ||
                                                   at.first == u"Range.CountLarge"));
            EXPECT_TRUE(probe) << c.name << ": " << utf8(at.first) << " call " << at.second
                               << " failed and still gave the answer";
        }
    }
    EXPECT_GT(failures, 100u) << "the sweep injected a failure into every call";
    EXPECT_TRUE(catcher.boxes().empty());
}

// A host without CountLarge (as before 2007): the count probe finds no CountLarge and every
// count goes through Count, with the same answers; a sweep of the text range holds there too.
TEST(FaultSweep, LegacyCountingWithoutCountLarge) {
    BoxCatcher catcher;
    SweepHost modern;
    SweepHost legacy;
    legacy.excel.make_unknown(u"Range.CountLarge");
    for (const SweepCase& c : kCases) {
        HRESULT hr = S_OK;
        const std::u16string expected = modern.evaluate(c.formula, hr);
        legacy.excel.reset_counts();
        EXPECT_EQ(legacy.evaluate(c.formula, hr), expected) << c.name;
        EXPECT_EQ(hr, S_OK);
        EXPECT_GT(legacy.excel.calls(u"Range.Count"), 0u) << c.name;
        EXPECT_EQ(legacy.excel.calls(u"Range.CountLarge"), 1u) << c.name << ": asked once";
    }
    const Outcomes outcomes = sweep(legacy, kCases[0].formula, u"tl,tr,bl,br", true);
    EXPECT_EQ(outcomes.at({u"Worksheet.Cells", 1}), u"tl,tr,bl,br");
    EXPECT_TRUE(catcher.boxes().empty());
}

}  // namespace
}  // namespace tb::wine
