// The stand-in's formula evaluator: literals, operators, functions and Excel's limits, the
// references and array constants of cell formulas, omitted arguments and the resolver, and
// what Application.Evaluate answers where a cell formula would not parse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/excel.h"
#include "tests/unit/standin_support.h"

namespace tb::standin {
namespace {

using testing::describe;

struct Case {
    const char* formula;
    const char* expected;
};

Value app_evaluate(Excel& excel, const std::u16string& formula) {
    ObjectRef app = excel.application();
    const Value arg = Value::string(formula);
    return call(app, u"Evaluate", std::span<const Value>(&arg, 1));
}

class Formula : public ::testing::TestWithParam<Case> {};

TEST_P(Formula, GivesExcelsValue) {
    Excel excel;
    testing::open_sample(excel);
    const Case& c = GetParam();
    EXPECT_EQ(describe(excel.evaluate(utf16(c.formula))), c.expected) << c.formula;
}

INSTANTIATE_TEST_SUITE_P(Literals, Formula,
                         ::testing::Values(Case{"=1", "num:1"}, Case{"1.5", "num:1.5"},
                                           Case{".5", "num:0.5"}, Case{"1E+20", "num:1e+20"},
                                           Case{"2.5e-3", "num:0.0025"},
                                           Case{R"("a""b")", R"(str:a"b)"}, Case{R"("")", "str:"},
                                           Case{"TRUE", "bool:TRUE"}, Case{"false", "bool:FALSE"},
                                           Case{"true()", "bool:TRUE"},
                                           Case{"FALSE()", "bool:FALSE"}, Case{"#N/A", "err:#N/A"},
                                           Case{"  = 7 ", "num:7"}));

INSTANTIATE_TEST_SUITE_P(
    Operators, Formula,
    ::testing::Values(Case{"1+2*3", "num:7"}, Case{"(1+2)*3", "num:9"}, Case{"10/4", "num:2.5"},
                      Case{"2^3^2", "num:64"}, Case{"-2^2", "num:4"}, Case{"2^-1", "num:0.5"},
                      Case{"--3", "num:3"}, Case{"50%", "num:0.5"}, Case{"1/0", "err:#DIV/0!"},
                      Case{"0^0", "err:#NUM!"}, Case{R"("3"+1)", "num:4"},
                      Case{R"("x"+1)", "err:#VALUE!"}, Case{"TRUE+1", "num:2"},
                      Case{R"("a"&1.5&TRUE&"")", "str:a1.5TRUE"}, Case{"NA()+1", "err:#N/A"},
                      Case{"1/0&NA()", "err:#DIV/0!"}, Case{"1=1", "bool:TRUE"},
                      Case{R"("a"="A")", "bool:TRUE"}, Case{R"(1<"a")", "bool:TRUE"},
                      Case{R"("a"<TRUE)", "bool:TRUE"}, Case{"2<>2", "bool:FALSE"},
                      Case{"3>=4", "bool:FALSE"}, Case{"Z99=0", "bool:TRUE"}));

INSTANTIATE_TEST_SUITE_P(
    Functions, Formula,
    ::testing::Values(
        Case{"CONCATENATE(1/3)", "str:0.333333333333333"}, Case{"CONCATENATE(1E+20)", "str:1E+20"},
        Case{"CONCATENATE(-1.5)", "str:-1.5"},
        Case{R"(CONCATENATE(TRUE,"x",FALSE))", "str:TRUExFALSE"},
        Case{R"(CONCATENATE("a""b"))", R"(str:a"b)"}, Case{R"(concatenate("a",,"b"))", "str:ab"},
        Case{R"(CONCATENATE("a",NA(),1/0))", "err:#N/A"},
        Case{R"(=LEN(REPT("x", 120)))", "num:120"}, Case{R"(LEN(REPT("x", 0)))", "num:0"},
        Case{R"(LEN(REPT("x", 32767)))", "num:32767"},
        Case{R"(LEN(REPT("x", 32768)))", "err:#VALUE!"},
        Case{R"(REPT("ab", 16384))", "err:#VALUE!"}, Case{R"(REPT("x", -1))", "err:#VALUE!"},
        Case{R"(LEN(REPT("x",1E+20)))", "err:#VALUE!"},
        Case{R"(LEN(REPT("ab", 16383)&"x"))", "num:32767"},
        Case{R"(REPT("ab", 16383)&"xy")", "err:#VALUE!"}, Case{"LEN(1/4)", "num:4"},
        Case{"LEN(TRUE)", "num:4"}, Case{"NA()", "err:#N/A"}, Case{"SUM(1,2,3)", "num:6"},
        Case{"DATE(2024,1,2)", "num:45293"}, Case{"DATE(2024,13,1)", "num:45658"},
        Case{"TIME(12,0,0)", "num:0.5"}, Case{R"(IF(1,"y","n"))", "str:y"},
        Case{R"(IF("false","y"))", "bool:FALSE"}, Case{"IF(FALSE,1,)", "num:0"},
        Case{"IF(NA(),1,2)", "err:#N/A"}, Case{"IF(TRUE,A1:A2)", "arr2x1{num:1,num:2}"},
        Case{"ISERROR(D4)", "bool:TRUE"}, Case{R"(UPPER("aé")&LOWER("AB"))", "str:AÉab"},
        Case{"FOO(1)", "err:#NAME?"}, Case{"foo", "err:#NAME?"},
        Case{"LEN({\"ab\",\"c\"})", "arr1x2{num:2,num:1}"},
        Case{"{1,2}*{10;20}", "arr2x2{num:10,num:20,num:20,num:40}"}));

INSTANTIATE_TEST_SUITE_P(
    References, Formula,
    ::testing::Values(
        Case{"A1", "num:1"}, Case{"$A$1", "num:1"}, Case{"a$2", "num:2"}, Case{"E9", "empty"},
        Case{"A1+A2", "num:3"}, Case{"A1&B1", "str:1b"}, Case{"SUM(A1:A2)", "num:3"},
        Case{"SUM(A:A)", "num:3"}, Case{"SUM(A:B)", "num:3"}, Case{"SUM(1:2)", "num:3"},
        Case{"SUM(A1:D4)", "err:#N/A"}, Case{"A1:B2", "arr2x2{num:1,str:b,num:2,empty}"},
        Case{"B2:A1", "arr2x2{num:1,str:b,num:2,empty}"}, Case{"Sheet2!A1", "str:s2"},
        Case{"sheet2!A1&'My Sheet'!A1", "str:s2my"}, Case{"'My Sheet'!$A$1", "str:my"},
        Case{"Nope!A1", "err:#REF!"}, Case{"LEN((A1:A2))", "arr2x1{num:1,num:1}"},
        Case{"{1,2;3,4}", "arr2x2{num:1,num:2,num:3,num:4}"},
        Case{R"({"a",TRUE;-1.5,#N/A})", "arr2x2{str:a,bool:TRUE,num:-1.5,err:#N/A}"},
        Case{"XFD1", "empty"}, Case{"XFE1", "err:#NAME?"}, Case{"A1048577", "err:#NAME?"},
        Case{"LOG10", "empty"}, Case{"LOG10(100)", "err:#NAME?"}));

// Formulas that do not parse: the command's path fails with a message, Application.Evaluate
// answers #VALUE! as Excel does.
TEST(FormulaSyntax, FailsForTheCommandAndIsValueErrorForEvaluate) {
    Excel excel;
    testing::open_sample(excel);
    for (const char* formula :
         {"", "=", "1+", "(1", "1)", R"("abc)", "{1,2;3}", "{A1}", "SUM(1,", "A1:", "1 2",
          "Sheet2!", "'My Sheet'A1", "CONCATENATE()", "LEN(1,2)", "NA(1)", "#FOO", "1E", "@"}) {
        try {
            excel.evaluate(utf16(formula));
            ADD_FAILURE() << formula << " parsed";
        } catch (const Failure& f) {
            EXPECT_EQ(f.hresult(), hr::invalid_arg) << formula;
            EXPECT_STRNE(f.what(), "") << formula;
        }
        EXPECT_EQ(describe(app_evaluate(excel, utf16(formula))), "err:#VALUE!") << formula;
    }
}

// Deep nesting is refused, long flat chains are evaluated: neither exhausts the stack.
TEST(FormulaLimits, NestingAndLongChains) {
    Excel excel;
    EXPECT_EQ(describe(excel.evaluate(std::u16string(60, u'(') + u"1" + std::u16string(60, u')'))),
              "num:1");
    EXPECT_EQ(describe(excel.evaluate(std::u16string(60, u'-') + u"1")), "num:1");
    for (const std::u16string& deep :
         {std::u16string(4000, u'(') + u"1" + std::u16string(4000, u')'),
          std::u16string(8000, u'-') + u"1", u"LEN(" + std::u16string(4000, u'(')}) {
        EXPECT_THROW(excel.evaluate(deep), Failure);
    }
    std::u16string chain = u"1";
    while (chain.size() < 8180)
        chain += u"+1";
    EXPECT_EQ(describe(excel.evaluate(chain)), "num:" + std::to_string((chain.size() + 1) / 2));
}

TEST(FormulaLimits, FormulaAndTextLiteralsOf255Characters) {
    Excel excel;
    // LEN("…") is 7 characters around the text.
    const std::u16string fits = u"LEN(\"" + std::u16string(248, u'x') + u"\")";
    ASSERT_EQ(fits.size(), 255u);
    EXPECT_EQ(describe(app_evaluate(excel, fits)), "num:248");
    EXPECT_EQ(describe(app_evaluate(excel, fits + u" ")), "err:#VALUE!");
    // A cell formula may be longer, but no text literal in it may pass 255 characters.
    const std::u16string literal255 = u"LEN(\"" + std::u16string(255, u'x') + u"\")";
    const std::u16string literal256 = u"LEN(\"" + std::u16string(256, u'x') + u"\")";
    EXPECT_EQ(describe(excel.evaluate(literal255)), "num:255");
    EXPECT_EQ(describe(excel.evaluate(literal256)), "err:#VALUE!");
    // Doubled quotes count once.
    EXPECT_EQ(describe(excel.evaluate(u"LEN(\"" + std::u16string(510, u'"') + u"\")")), "num:255");
    EXPECT_THROW(excel.evaluate(u"1+" + std::u16string(8191, u'1')), Failure);
}

TEST(FormulaApplication, ReferencesComeBackAsRanges) {
    Excel excel;
    testing::open_sample(excel);
    const Value one = app_evaluate(excel, u"Sheet2!A1");
    ASSERT_TRUE(one.is_object());
    EXPECT_EQ(describe(get(one.object_value(), u"Value2")), "str:s2");
    EXPECT_EQ(describe(get(app_evaluate(excel, u"A:A").object_value(), u"Address")),
              "str:$A$1:$A$1048576");
    EXPECT_EQ(describe(app_evaluate(excel, u"CONCATENATE(A1,B1)")), "str:1b");
    EXPECT_EQ(describe(app_evaluate(excel, u"FOO(1)")), "err:#NAME?");
}

TEST(FormulaApplication, NoWorkbookOpenMakesReferencesRefErrors) {
    Excel excel;
    EXPECT_EQ(describe(excel.evaluate(u"A1")), "err:#REF!");
    EXPECT_EQ(describe(excel.evaluate(u"CONCATENATE(\"a\")")), "str:a");
}

TEST(FormulaLegacy, TheSmallerGridBoundsReferences) {
    Excel excel(Profile::Legacy);
    testing::open_sample(excel);
    EXPECT_EQ(describe(excel.evaluate(u"IV65536")), "empty");
    EXPECT_EQ(describe(excel.evaluate(u"IW1")), "err:#NAME?");
    EXPECT_EQ(describe(excel.evaluate(u"A65537")), "err:#NAME?");
    EXPECT_EQ(describe(get(excel.range(u"1:1"), u"Address")), "str:$A$1:$IV$1");
}

TEST(FormulaActiveSheet, UnqualifiedReferencesFollowIt) {
    Excel excel;
    testing::open_sample(excel);
    excel.set_active_sheet(0, 1);
    EXPECT_EQ(describe(excel.evaluate(u"A1&Sheet1!B1")), "str:s2b");
    EXPECT_THROW(excel.set_active_sheet(0, 3), Failure);
}

// What a resolver sees: references as ranges, omitted arguments as missing, array constants
// as 2-D arrays with lower bounds 1, other arguments evaluated.
TEST(FormulaResolver, ReceivesArgumentsAsExcelPassesThem) {
    Excel excel;
    testing::open_sample(excel);
    std::vector<std::string> seen;
    std::u16string name;
    const std::int64_t baseline = excel.live_objects();
    FunctionResolver resolver = [&](std::u16string_view n, std::span<const Value> args,
                                    Value& result) {
        if (n != u"JOIN") return false;
        name = n;
        for (const Value& a : args) {
            std::string d = describe(a);
            if (a.is_object()) d += ":" + describe(get(a.object_value(), u"Address"));
            if (a.is_array())
                d += ":lb" + std::to_string(a.array_value().lower(0)) +
                     std::to_string(a.array_value().lower(1));
            seen.push_back(d);
        }
        result = Value::string(u"joined");
        return true;
    };
    EXPECT_EQ(
        describe(excel.evaluate(u"join(,,, A1:A2, {1,2;3,4}, LEN(\"abc\"), Sheet2!B:B)", resolver)),
        "str:joined");
    EXPECT_EQ(name, u"JOIN");
    const std::vector<std::string> expected = {"missing",
                                               "missing",
                                               "missing",
                                               "obj:str:$A$1:$A$2",
                                               "arr2x2{num:1,num:2,num:3,num:4}:lb11",
                                               "num:3",
                                               "obj:str:$B$1:$B$1048576"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(excel.live_objects(), baseline);  // the ranges passed were released
    EXPECT_EQ(describe(excel.evaluate(u"OTHER(1)", resolver)), "err:#NAME?");
    EXPECT_EQ(describe(excel.evaluate(u"CONCATENATE(JOIN(1), \"!\")", resolver)), "str:joined!");
    // The command's path is not a host call.
    EXPECT_EQ(excel.total_calls(), 2u);  // the resolver's two Address reads
}

// A function that answers a range stands for its cells, as a reference would; any other
// object is no value.
TEST(FormulaResolver, ARangeAnsweredIsReadAsItsCells) {
    Excel excel;
    testing::open_sample(excel);
    FunctionResolver resolver = [&](std::u16string_view n, std::span<const Value> args,
                                    Value& result) {
        if (n == u"FIRST") result = args[0];
        if (n == u"NOTHING") result = Value::object(ObjectRef());
        return true;
    };
    EXPECT_EQ(describe(excel.evaluate(u"FIRST(D4)", resolver)), "err:#N/A");
    EXPECT_EQ(describe(excel.evaluate(u"FIRST(A1:A2)", resolver)), "arr2x1{num:1,num:2}");
    EXPECT_EQ(describe(excel.evaluate(u"SUM(FIRST(A1:A2))", resolver)), "num:3");
    EXPECT_EQ(describe(excel.evaluate(u"NOTHING()", resolver)), "err:#VALUE!");
    EXPECT_EQ(excel.live_objects(), 0);
}

TEST(FormulaResolver, NothingIsCalledWhenTheFormulaDoesNotParse) {
    Excel excel;
    int calls = 0;
    FunctionResolver resolver = [&](std::u16string_view, std::span<const Value>, Value& r) {
        ++calls;
        r = Value::number(1);
        return true;
    };
    EXPECT_THROW(excel.evaluate(u"F(1)+", resolver), Failure);
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace tb::standin
