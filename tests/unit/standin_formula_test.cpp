// The stand-in's formula evaluator: literals, operators, functions and Excel's limits, the
// references and array constants of cell formulas, a range answered by the resolver, and what
// Application.Evaluate answers where a cell formula would not parse. (How the resolver receives
// references, omitted arguments and arrays, the formula table shows through the add-in.)
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

// Literals, operators, functions, references and array constants.
TEST(Formula, GivesExcelsValue) {
    Excel excel;
    testing::open_sample(excel);
    const Case cases[] = {
        // clang-format off
        {"=1", "num:1"}, {"1.5", "num:1.5"}, {".5", "num:0.5"}, {"1E+20", "num:1e+20"},
        {"2.5e-3", "num:0.0025"}, {R"("a""b")", R"(str:a"b)"}, {R"("")", "str:"},
        {"TRUE", "bool:TRUE"}, {"false", "bool:FALSE"}, {"true()", "bool:TRUE"},
        {"FALSE()", "bool:FALSE"}, {"#N/A", "err:#N/A"}, {"  = 7 ", "num:7"}, {"1+2*3", "num:7"},
        {"(1+2)*3", "num:9"}, {"10/4", "num:2.5"}, {"2^3^2", "num:64"}, {"-2^2", "num:4"},
        {"2^-1", "num:0.5"}, {"--3", "num:3"}, {"50%", "num:0.5"}, {"1/0", "err:#DIV/0!"},
        {"0^0", "err:#NUM!"}, {R"("3"+1)", "num:4"}, {R"("x"+1)", "err:#VALUE!"},
        {"TRUE+1", "num:2"}, {R"("a"&1.5&TRUE&"")", "str:a1.5TRUE"}, {"NA()+1", "err:#N/A"},
        {"1/0&NA()", "err:#DIV/0!"}, {"1=1", "bool:TRUE"}, {R"("a"="A")", "bool:TRUE"},
        {R"(1<"a")", "bool:TRUE"}, {R"("a"<TRUE)", "bool:TRUE"}, {"2<>2", "bool:FALSE"},
        {"3>=4", "bool:FALSE"}, {"Z99=0", "bool:TRUE"},
        {"CONCATENATE(1/3)", "str:0.333333333333333"}, {"CONCATENATE(1E+20)", "str:1E+20"},
        {"CONCATENATE(-1.5)", "str:-1.5"}, {R"(CONCATENATE(TRUE,"x",FALSE))", "str:TRUExFALSE"},
        {R"(CONCATENATE("a""b"))", R"(str:a"b)"}, {R"(concatenate("a",,"b"))", "str:ab"},
        {R"(CONCATENATE("a",NA(),1/0))", "err:#N/A"}, {R"(=LEN(REPT("x", 120)))", "num:120"},
        {R"(LEN(REPT("x", 0)))", "num:0"}, {R"(LEN(REPT("x", 32767)))", "num:32767"},
        {R"(LEN(REPT("x", 32768)))", "err:#VALUE!"}, {R"(REPT("ab", 16384))", "err:#VALUE!"},
        {R"(REPT("x", -1))", "err:#VALUE!"}, {R"(LEN(REPT("x",1E+20)))", "err:#VALUE!"},
        {R"(LEN(REPT("ab", 16383)&"x"))", "num:32767"},
        {R"(REPT("ab", 16383)&"xy")", "err:#VALUE!"}, {"LEN(1/4)", "num:4"}, {"LEN(TRUE)", "num:4"},
        {"NA()", "err:#N/A"}, {"SUM(1,2,3)", "num:6"}, {"DATE(2024,1,2)", "num:45293"},
        {"DATE(2024,13,1)", "num:45658"}, {"TIME(12,0,0)", "num:0.5"},
        {"DATE(1900,1,0)", "num:0"}, {"DATE(1900,1,-1)", "err:#NUM!"},
        {R"(IF(1,"y","n"))", "str:y"}, {R"(IF("false","y"))", "bool:FALSE"},
        {"IF(FALSE,1,)", "num:0"}, {"IF(NA(),1,2)", "err:#N/A"},
        {"IF(TRUE,A1:A2)", "arr2x1{num:1,num:2}"}, {"ISERROR(D4)", "bool:TRUE"},
        {R"(UPPER("aé")&LOWER("AB"))", "str:AÉab"}, {"FOO(1)", "err:#NAME?"}, {"foo", "err:#NAME?"},
        {"LEN({\"ab\",\"c\"})", "arr1x2{num:2,num:1}"},
        {"{1,2}*{10;20}", "arr2x2{num:10,num:20,num:20,num:40}"}, {"A1", "num:1"},
        {"$A$1", "num:1"}, {"a$2", "num:2"}, {"E9", "empty"}, {"A1+A2", "num:3"},
        {"A1&B1", "str:1b"}, {"SUM(A1:A2)", "num:3"}, {"SUM(A:A)", "num:3"}, {"SUM(A:B)", "num:3"},
        {"SUM(1:2)", "num:3"}, {"SUM(A1:D4)", "err:#N/A"},
        {"A1:B2", "arr2x2{num:1,str:b,num:2,empty}"}, {"B2:A1", "arr2x2{num:1,str:b,num:2,empty}"},
        {"Sheet2!A1", "str:s2"}, {"sheet2!A1&'My Sheet'!A1", "str:s2my"},
        {"'My Sheet'!$A$1", "str:my"}, {"Nope!A1", "err:#REF!"},
        {"LEN((A1:A2))", "arr2x1{num:1,num:1}"}, {"{1,2;3,4}", "arr2x2{num:1,num:2,num:3,num:4}"},
        {R"({"a",TRUE;-1.5,#N/A})", "arr2x2{str:a,bool:TRUE,num:-1.5,err:#N/A}"}, {"XFD1", "empty"},
        {"XFE1", "err:#NAME?"}, {"A1048577", "err:#NAME?"}, {"LOG10", "empty"},
        {"LOG10(100)", "err:#NAME?"}, {"CHAR(65.9)&CHAR(128)&CHAR(255)", "str:A€ÿ"},
        {"CHAR(0)", "err:#VALUE!"}, {"CHAR(256)", "err:#VALUE!"}, {"UNICHAR(128512)", "str:😀"},
        {"_xlfn.UNICHAR(55296)", "err:#N/A"}, {"UNICHAR(0)", "err:#VALUE!"},
        {"UNICHAR(1114112)", "err:#VALUE!"}, {R"(LEFT("abc")&RIGHT("abc"))", "str:ac"},
        {R"(LEFT("abc",5))", "str:abc"}, {R"(LEFT("abc",-1))", "err:#VALUE!"},
        {"RIGHT(1234.5,3)", "str:4.5"}, {R"(RIGHT("abc",0))", "str:"},
        {R"(MID("abcdef",2,3))", "str:bcd"}, {R"(MID("abc",4,1))", "str:"},
        {R"(MID("abc",3,9))", "str:c"}, {R"(MID("abc",0,1))", "err:#VALUE!"},
        {R"(MID("abc",1,-1))", "err:#VALUE!"}, {R"(PROPER("76budGET o'neil ÉTÉ"))", "str:76Budget O'Neil Été"},
        {R"(LOWER("ÀÉΣĀŸ"))", "str:àéσāÿ"}, {R"(TRIM("  a   b  "))", "str:a b"},
        {R"(SUBSTITUTE("a-b-c","-","+"))", "str:a+b+c"}, {R"(SUBSTITUTE("a-b-c","-","+",2))", "str:a-b+c"},
        {R"(SUBSTITUTE("aAa","a","bb"))", "str:bbAbb"}, {R"(SUBSTITUTE("abc","","x"))", "str:abc"},
        {R"(SUBSTITUTE("abc","c","x",2))", "str:abc"}, {R"(SUBSTITUTE("a","a","b",0))", "err:#VALUE!"},
        {R"(IFERROR(1/0,"x"))", "str:x"}, {R"(IFERROR(1,"x"))", "num:1"}, {"IFERROR(NA(),)", "num:0"},
        {R"(IFERROR({1,#N/A},"x"))", "arr1x2{num:1,str:x}"}, {"SUM(Pair)", "num:3"},
        {"pair", "arr2x1{num:1,num:2}"}, {"Half*4", "num:2"}, {"Half+Half", "num:1"}, {R"(TEXT(NA(),"0"))", "err:#N/A"}, {R"(RIGHT("ab",5))", "str:ab"}, {"Broken", "err:#REF!"},
        {"Sheet2!Here&Sheet1!Pair", "arr2x1{str:s21,str:s22}"}, {"Here", "err:#NAME?"},
        {"SUM(Two)", "num:1"}, {"Nope!Pair", "err:#REF!"},
        // clang-format on
    };
    for (const Case& c : cases)
        EXPECT_EQ(describe(excel.evaluate(utf16(c.formula))), c.expected) << c.formula;
    // Unqualified references follow the active sheet.
    excel.set_active_sheet(0, 1);
    EXPECT_EQ(describe(excel.evaluate(u"A1&Sheet1!B1")), "str:s2b");
    EXPECT_THROW(excel.set_active_sheet(0, 3), Failure);
}

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
TEST(FormulaLimits, NestingChainsAndLengths) {
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
    // Application.Evaluate takes 255 characters; a cell formula may be longer, but no text
    // literal in it may pass 255 characters (doubled quotes count once).
    const auto len_of = [](std::size_t n, char16_t c) {
        return u"LEN(\"" + std::u16string(n, c) + u"\")";
    };
    EXPECT_EQ(describe(app_evaluate(excel, len_of(248, u'x'))), "num:248");
    EXPECT_EQ(describe(app_evaluate(excel, len_of(248, u'x') + u" ")), "err:#VALUE!");
    EXPECT_EQ(describe(excel.evaluate(len_of(255, u'x'))), "num:255");
    EXPECT_EQ(describe(excel.evaluate(len_of(256, u'x'))), "err:#VALUE!");
    EXPECT_EQ(describe(excel.evaluate(len_of(510, u'"'))), "num:255");
    EXPECT_THROW(excel.evaluate(u"1+" + std::u16string(8191, u'1')), Failure);
    // Names refer to names 64 deep at most: Link0 refers to Link1, … Link69 to Link70 = 1.
    excel.add_new_workbook();
    for (int i = 0; i <= 70; ++i)
        excel.workbook(0).names.push_back({u"Link" + utf16(std::to_string(i)), std::nullopt,
                                           i < 70 ? u"Link" + utf16(std::to_string(i + 1)) : u"1"});
    EXPECT_EQ(describe(excel.evaluate(u"Link7+Link8")), "num:2");
    EXPECT_EQ(describe(excel.evaluate(u"Link6&Link7")), "err:#NAME?");
}

TEST(FormulaApplication, ReferencesComeBackAsRanges) {
    Excel excel;
    EXPECT_EQ(describe(excel.evaluate(u"A1")), "err:#REF!");  // no workbook open
    EXPECT_EQ(describe(excel.evaluate(u"CONCATENATE(\"a\")")), "str:a");
    testing::open_sample(excel);
    EXPECT_EQ(describe(get(app_evaluate(excel, u"Sheet2!A1").object_value(), u"Value2")), "str:s2");
    Excel legacy(Profile::Legacy);  // the smaller grid bounds references
    testing::open_sample(legacy);
    EXPECT_EQ(describe(legacy.evaluate(u"IV65536")), "empty");
    EXPECT_EQ(describe(legacy.evaluate(u"IW1")), "err:#NAME?");
    EXPECT_EQ(describe(legacy.evaluate(u"A65537")), "err:#NAME?");
    EXPECT_EQ(describe(get(legacy.range(u"1:1"), u"Address")), "str:$A$1:$IV$1");
}

// A function that answers a range stands for its cells, as a reference would; any other
// object is no value. Nothing is called when the formula does not parse.
TEST(FormulaResolver, ARangeAnsweredIsReadAsItsCells) {
    Excel excel;
    testing::open_sample(excel);
    int calls = 0;
    FunctionResolver resolver = [&](std::u16string_view n, std::span<const Value> args,
                                    Value& result) {
        ++calls;
        if (n == u"FIRST") result = args[0];
        if (n == u"NOTHING") result = Value::object(ObjectRef());
        return true;
    };
    EXPECT_EQ(describe(excel.evaluate(u"FIRST(D4)", resolver)), "err:#N/A");
    EXPECT_EQ(describe(excel.evaluate(u"FIRST(A1:A2)", resolver)), "arr2x1{num:1,num:2}");
    EXPECT_EQ(describe(excel.evaluate(u"SUM(FIRST(A1:A2))", resolver)), "num:3");
    EXPECT_EQ(describe(excel.evaluate(u"NOTHING()", resolver)), "err:#VALUE!");
    EXPECT_EQ(excel.live_objects(), 0);
    EXPECT_EQ(calls, 4);
    EXPECT_THROW(excel.evaluate(u"F(1)+", resolver), Failure);
    EXPECT_EQ(calls, 4);
}

}  // namespace
}  // namespace tb::standin
