// The worksheet function against the stand-in Excel: the case table, the private operations
// against a scripted host, and fault injection into every host operation.
#include "core/worksheet/textbraid.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/host/connection.h"
#include "core/host/excel_ops.h"
#include "core/host/mod_globals.h"
#include "standin/excel.h"
#include "tests/support/case_book.h"
#include "tools/output.h"

namespace tb {

struct TextBraidInternals {
    static Value ParseSwitch(const TEXTBRAID& f, Value item, bool d) {
        return f.ParseSwitch(std::move(item), d);
    }
    static Value ItemText(const TEXTBRAID& f, Value item, bool use_formats) {
        return f.ItemText(std::move(item), use_formats);
    }
    static bool ExceedsCellLimit(const TEXTBRAID& f, const Value& text, const Value& delimiter,
                                 double length) {
        return f.ExceedsCellLimit(text, delimiter, length);
    }
};

namespace {

using standin::Excel;
using standin::Profile;
using I = TextBraidInternals;
using tools::shown_text;  // what a cell shows for a result, as the command prints it

std::string narrow(const std::u16string& s) {
    return utf8(s.substr(0, 80));
}

// A stand-in Excel with the case workbook open and the add-in connected on this thread; the help
// boxes shown are kept as title and style.
class Host {
  public:
    explicit Host(Profile profile = Profile::Modern) : excel(profile) {
        excel.open(testing::case_book());
        OnConnection(excel.application(), [] { return std::make_shared<CExcelEvents>(); });
    }
    ~Host() { OnDisconnection(); }

    Value evaluate(const std::u16string& formula) {
        return excel.evaluate(
            formula, [this](std::u16string_view name, std::span<const Value> args, Value& result) {
                if (!iequals(name, u"TEXTBRAID")) return false;
                result = function(args);
                return true;
            });
    }

    Excel excel;
    std::vector<std::pair<std::u16string, std::uint32_t>> boxes;
    TEXTBRAID function{[this](const std::u16string&, const std::u16string& title,
                              std::uint32_t style) { boxes.emplace_back(title, style); }};
};

class FormulaCases : public ::testing::TestWithParam<std::tuple<Profile, testing::FormulaCase>> {};

TEST_P(FormulaCases, ShowsWhatTheCellShould) {
    const auto& [profile, c] = GetParam();
    Host host(profile);
    const std::int64_t live_before = host.excel.live_objects();
    EXPECT_EQ(narrow(shown_text(host.evaluate(c.formula))), narrow(c.expected)) << c.name;
    EXPECT_EQ(host.excel.live_objects(), live_before) << "host objects left alive";
    const decltype(host.boxes) help{{u"TEXTBRAID", 16u}};
    EXPECT_EQ(host.boxes, c.help_box ? help : decltype(help){});
    OnDisconnection();
    EXPECT_EQ(host.excel.live_objects(), 0) << "everything released after disconnection";
}

INSTANTIATE_TEST_SUITE_P(Profiles, FormulaCases,
                         ::testing::Combine(::testing::Values(Profile::Modern, Profile::Legacy),
                                            ::testing::ValuesIn(testing::formula_cases())),
                         testing::CaseTestName{});

TEST(TextBraidEntry, CountLargeNoAreasAndADisconnectedHost) {
    Host host;  // the whole large grid, 17 billion cells: Count would overflow
    EXPECT_EQ(shown_text(host.evaluate(u"TEXTBRAID(\",\", TRUE, FALSE, Sheet2!1:1048576, E1)")),
              u"other,tl");
    host.excel.make_unknown(u"Range.Areas");  // each reference is then walked as one area
    EXPECT_EQ(shown_text(host.evaluate(u"TEXTBRAID(\",\", FALSE, FALSE, E1:F2, (A1,C1))")),
              u"tl,tr,bl,br,a");
    OnDisconnection();
    EXPECT_EQ(shown_text(host.evaluate(u"TEXTBRAID()")), u"#VALUE!");
    EXPECT_EQ(shown_text(host.evaluate(u"TEXTBRAID(\",\", TRUE, FALSE, E1:F1)")), u"#VALUE!");
    EXPECT_TRUE(host.boxes.empty()) << "no help box without a host";
}

TEST(Connection, LifecycleStates) {
    Excel excel;
    int sinks = 0;
    auto factory = [&sinks] {
        ++sinks;
        return std::make_shared<CExcelEvents>();
    };
    OnDisconnection();  // without a connection: nothing happens
    EXPECT_FALSE(modGlobals().gExcelApp);
    OnConnection(excel.application(), factory);
    OnConnection(excel.application(), factory);  // replaces both; the first sink goes away
    EXPECT_TRUE(modGlobals().gExcelApp && modGlobals().gExcelEvents && sinks == 2);
    EXPECT_EQ(excel.live_objects(), 1) << "one Application held by gExcelApp and the one sink";
    const std::uint64_t events = CExcelEvents::events_received();
    excel.add_new_workbook();
    EXPECT_EQ(CExcelEvents::events_received(), events + 1) << "only the new sink is advised";
    // A failing sink leaves the host connected without events.
    OnConnection(excel.application(), []() -> std::shared_ptr<void> { fail(hr::fail, "no"); });
    EXPECT_TRUE(modGlobals().gExcelApp && !modGlobals().gExcelEvents);
    OnConnection(excel.application(), factory);
    OnDisconnection();
    EXPECT_FALSE(modGlobals().gExcelApp || modGlobals().gExcelEvents);
    EXPECT_EQ(excel.live_objects(), 0);
    excel.add_new_workbook();
    EXPECT_EQ(CExcelEvents::events_received(), events + 1) << "no sink left advised";
}

// --- the private operations against a scripted Application ------------------------------------

// An Application that records the formulas it is asked to evaluate and answers from a script.
class ScriptedApplication final : public HostObject {
  public:
    std::function<Value(const std::u16string&)> answer = [](const std::u16string&) {
        return Value::number(0);
    };
    std::vector<std::u16string> formulas;
    Value intersection;  // Intersect's answer; Empty is no common cells
    int count = 1;

    void add_ref() noexcept override { ++count; }
    void release() noexcept override { --count; }
    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        if (iequals(member, u"Intersect")) return intersection;
        if (!iequals(member, u"Evaluate") || args.size() != 1 || !args[0].is_string()) {
            fail(hr::unknown_name, "not scripted");
        }
        formulas.push_back(args[0].string_value());
        return answer(args[0].string_value());
    }
    ObjectRef query(const Guid&) override { return ObjectRef::share(this); }
    std::uint32_t connect_events(const Guid&, EventSink&) override {
        fail(hr::no_interface, "no events");
    }
    void disconnect_events(std::uint32_t) override {}
};

class ScriptedHost : public ::testing::Test {
  protected:
    void SetUp() override { modGlobals().gExcelApp = ObjectRef::share(&app); }
    void TearDown() override {
        modGlobals().gExcelApp.reset();
        EXPECT_EQ(app.count, 1);
    }
    ScriptedApplication app;
    TEXTBRAID function{nullptr};
};

// A value holding a host object holds one count of it; copies, moves and assignments keep the
// count exact.
TEST(ValueSemantics, ObjectValuesHoldOneCountEach) {
    ScriptedApplication object;  // counts its references
    {
        Value a = Value::object(ObjectRef::share(&object));
        Value b = a;
        EXPECT_EQ(object.count, 3);
        b = Value::number(1);
        Value c = std::move(a);
        EXPECT_EQ(object.count, 2);
        EXPECT_EQ(c.object_value().get(), &object);
        ObjectRef assigned;
        assigned = c.object_value();
        EXPECT_EQ(object.count, 3) << "an assigned reference holds its own count";
    }
    EXPECT_EQ(object.count, 1);
}

TEST_F(ScriptedHost, ParseSwitch) {
    // Expected: 1 true, 0 false, -1 no value. Rows the case book does not reach through a cell.
    // clang-format off
    const std::tuple<Value, bool, int> rows[] = {
        {Value::missing(), false, 0}, {Value::missing(), true, 1}, {Value(), true, 1},
        {Value::string(u"   "), false, 0}, {Value::boolean(false), true, 0},
        {Value::number(1), false, 1}, {Value::integer(0), true, 0}, {Value::number(2), false, -1},
        {Value::string(u" 1 "), false, 1}, {Value::string(u"0"), true, 0},
        {Value::string(u"TRUE ( )"), false, 1}, {Value::string(u"FALSE()"), true, 0},
        {Value::string(u"T R U E"), false, -1}, {Value::string(u"\ttrue"), false, -1},
        {Value::xl_error(xlerr::na), false, -1}, {Value::null(), false, -1},
        {Value::date(1.0), false, 1},
        {Value::array(Array::grid(1, 2, {Value::number(1), Value::number(0)})), false, -1}};
    // clang-format on
    for (const auto& [item, default_value, expected] : rows) {
        const Value got = I::ParseSwitch(function, item, default_value);
        EXPECT_EQ(got.is_empty() ? -1 : int{got.boolean_value()}, expected)
            << static_cast<int>(item.kind());
    }
    EXPECT_TRUE(app.formulas.empty()) << "switches never ask the host to evaluate";
    const Value none = excel::Application_Intersect(ObjectRef::share(&app), {}, {});
    EXPECT_TRUE(none.is_object() && !none.object_value()) << "Intersect answered Empty";
    app.intersection = Value::number(1);  // neither a range nor Empty: a failure, not "no cells"
    EXPECT_THROW(excel::Application_Intersect(ObjectRef::share(&app), {}, {}), Failure);
}

TEST_F(ScriptedHost, ItemTextSendsOperandsTheHostReadsBack) {
    // (Texts and empties are answered without the host: the formula table's long texts and kept
    // empty cells show it.)
    // clang-format off
    const std::pair<Value, std::u16string> rows[] = {
        {Value::number(-0.25), u"CONCATENATE(-0.25)"}, {Value::number(1e20), u"CONCATENATE(1E+20)"},
        {Value::boolean(true), u"CONCATENATE(True)"}, {Value::currency(15000), u"CONCATENATE(1.5)"},
        {Value::date(45293.5), u"CONCATENATE(45293.5)"}, {Value::null(), u"CONCATENATE()"}};
    // clang-format on
    app.answer = [](const std::u16string& f) { return Value::string(u"<" + f + u">"); };
    for (const auto& [item, formula] : rows) {
        app.formulas.clear();
        EXPECT_EQ(I::ItemText(function, item, false).string_value(), u"<" + formula + u">");
        EXPECT_EQ(app.formulas, std::vector<std::u16string>{formula});
    }
    // The host's error answer is returned, not raised; values without a text form fail before
    // the host is asked.
    app.answer = [](const std::u16string&) { return Value::xl_error(xlerr::value); };
    EXPECT_TRUE(I::ItemText(function, Value::null(), false).is_error());
    app.formulas.clear();
    EXPECT_THROW(I::ItemText(function, Value::xl_error(xlerr::na), false), Failure);
    EXPECT_THROW(I::ItemText(function, Value::array(Array::grid(1, 1, {Value()})), false), Failure);
    EXPECT_TRUE(app.formulas.empty());
}

TEST_F(ScriptedHost, ExceedsCellLimitMeasuresWithoutTheLeadingDelimiter) {
    // The LEN(REPT()) length the host is asked about; -1: the host is not asked.
    // clang-format off
    const std::tuple<Value, const char16_t*, double, int> rows[] = {
        {Value::string(u"ab"), u",", 0, 0}, {Value::string(u"anything"), u"::", 120, 120},
        {Value::string(u","), u",", -1, 0}, {Value::string(u"abc"), u"", -1, 3},
        {Value::string(u"::abcde"), u"::", -1, 5}, {Value::xl_error(xlerr::na), u",", 5, -1}};
    // clang-format on
    for (const auto& [text, delimiter, length, asked] : rows) {
        app.formulas.clear();
        EXPECT_FALSE(I::ExceedsCellLimit(function, text, Value::string(delimiter), length));
        const std::u16string formula = u"=LEN(REPT(\"x\", " + utf16(std::to_string(asked)) + u"))";
        EXPECT_EQ(app.formulas, std::vector<std::u16string>(asked < 0 ? 0 : 1, formula));
    }
    // Only #VALUE! from the host means too long; other errors and failures do not.
    const Value text = Value::string(u"x"), comma = Value::string(u",");
    app.answer = [](const std::u16string&) { return Value::xl_error(xlerr::value); };
    EXPECT_TRUE(I::ExceedsCellLimit(function, text, comma, 40000));
    EXPECT_FALSE(I::ExceedsCellLimit(function, text, Value::null(), -1));
    app.answer = [](const std::u16string&) { return Value::xl_error(xlerr::num); };
    EXPECT_FALSE(I::ExceedsCellLimit(function, text, comma, 40000));
    app.answer = [](const std::u16string&) -> Value { fail(hr::fail, "host down"); };
    EXPECT_FALSE(I::ExceedsCellLimit(function, text, comma, 40000));
}

// --- robustness sweeps -------------------------------------------------------------------------

// Failing the k-th call of every host operation gives #VALUE! or, where the failure is absorbed,
// the right answer; never a crash, and no host object left alive. In the last formula the count
// probe and the limit probe must turn their failures into fixed answers.
TEST(FaultSweep, EveryOperationEveryCall) {
    const std::u16string formulas[] = {
        u"TEXTBRAID(\",\", TRUE, TRUE, A1:C2, E:E, 3, {1,2})",
        u"TEXTBRAID(A2, \"false\", C2, E1, , A1:C1)",
        u"TEXTBRAID(\",\", TRUE, FALSE, (E1:F1,E2:F2))",
    };
    for (const std::u16string& formula : formulas) {
        Host clean;
        const std::u16string expected = shown_text(clean.evaluate(formula));
        clean.excel.reset_counts();
        clean.evaluate(formula);
        for (const std::u16string& op : clean.excel.operations()) {
            const std::uint64_t calls = clean.excel.calls(op);
            for (std::uint64_t k = 1; k <= calls; ++k) {
                Host host;
                const std::int64_t live_before = host.excel.live_objects();
                host.excel.fail_call(op, k);
                const std::u16string got = shown_text(host.evaluate(formula));
                const bool absorbed = &formula == &formulas[2] &&
                                      (op == u"Worksheet.Cells" || op == u"Application.Evaluate");
                EXPECT_TRUE((got == u"#VALUE!" && !absorbed) || got == expected)
                    << utf8(op) << " call " << k << " gave " << narrow(got);
                EXPECT_EQ(host.excel.live_objects(), live_before) << utf8(op) << " call " << k;
            }
        }
    }
}

}  // namespace
}  // namespace tb
