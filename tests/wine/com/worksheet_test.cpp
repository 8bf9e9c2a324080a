// The worksheet function through the real DLL: the stand-in Excel served over COM, the add-in
// connected through IDTExtensibility2, every formula of the shared case table evaluated by the
// stand-in with TEXTBRAID called through IDispatch::Invoke as Excel calls it (ranges as
// VT_DISPATCH, omitted arguments as DISP_E_PARAMNOTFOUND, error values, arrays).
#include <gtest/gtest.h>

#include <memory>

#include "server/com/bridge.h"
#include "server/com/textbraid_h.h"
#include "server/worksheet/textbraid.h"
#include "standin/excel.h"
#include "standin/number_format.h"
#include "tests/support/case_book.h"
#include "tests/wine/com/com_host.h"
#include "tests/wine/com/support.h"
#include "tools/winexcel/box_capture.h"
#include "tools/winexcel/standin_dispatch.h"

namespace tb::wine {
namespace {

using com::com_ptr;
using standin::Excel;
using standin::Profile;

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

class FormulaCases : public ::testing::TestWithParam<std::tuple<Profile, testing::FormulaCase>> {};

TEST_P(FormulaCases, ThroughTheDllAsNatively) {
    const auto& [profile, c] = GetParam();
    winexcel::BoxCapture capture;
    ComHost host(profile);
    EXPECT_EQ(host.connect_addin(), S_OK);
    const std::int64_t live = host.excel.live_objects();
    const std::int64_t wrappers = live_dispatch_objects();
    Value result;
    try {
        result = host.evaluate(c.formula);
    } catch (const Failure& failure) {
        FAIL() << "evaluate: " << failure.what();
    }
    ASSERT_FALSE(result.is_object() || result.is_array())
        << c.name << ": a cell shows no object or array";
    EXPECT_EQ(narrow(shown(result)), narrow(c.expected)) << c.name;
    EXPECT_EQ(host.excel.live_objects(), live) << "stand-in objects left alive by the call";
    EXPECT_EQ(live_dispatch_objects(), wrappers) << "IDispatch wrappers left alive by the call";
    const std::vector<tools::BoxShown> boxes = capture.take();
    ASSERT_EQ(boxes.size(), c.help_box ? 1u : 0u);
    if (c.help_box) {  // shown modally, with its text intact, a stop icon and an OK button
        EXPECT_EQ(boxes[0].title, u"TEXTBRAID");
        EXPECT_TRUE(boxes[0].text == TextBraidHelpText());
        EXPECT_EQ(boxes[0].style, kStopBoxStyle);
    }
    EXPECT_EQ(host.disconnect_addin(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Modern, FormulaCases,
                         ::testing::Combine(::testing::Values(Profile::Modern),
                                            ::testing::ValuesIn(testing::formula_cases())));
INSTANTIATE_TEST_SUITE_P(Legacy, FormulaCases,
                         ::testing::Combine(::testing::Values(Profile::Legacy),
                                            ::testing::ValuesIn(testing::formula_cases())));

TEST(Connection, LifecycleEventsAndUnloading) {
    winexcel::BoxCapture capture;
    const std::int64_t wrappers = live_dispatch_objects();
    {
        ComHost host;
        const std::u16string formula = u"TEXTBRAID(\",\", TRUE, FALSE, E1:F1)";
        // Before any connection, and after disconnection: #VALUE! and no box.
        EXPECT_EQ(shown(host.evaluate(formula)), u"#VALUE!");
        EXPECT_EQ(host.disconnect_addin(), S_OK);  // without a connection: nothing happens
        EXPECT_EQ(host.connect_addin(), S_OK);
        EXPECT_EQ(host.connect_addin(), S_OK);  // replaces the host and the sink
        EXPECT_EQ(shown(host.evaluate(formula)), u"tl,tr");

        // Events raised by the stand-in reach the sink and change nothing.
        const std::uint64_t delivered = events_delivered();
        host.excel.add_new_workbook();
        host.excel.open(testing::case_book());
        EXPECT_EQ(events_delivered(), delivered + 2);
        EXPECT_EQ(shown(host.evaluate(formula)), u"tl,tr");

        EXPECT_EQ(server().can_unload_now(), S_FALSE);
        EXPECT_EQ(host.disconnect_addin(), S_OK);
        EXPECT_EQ(shown(host.evaluate(formula)), u"#VALUE!");
        EXPECT_EQ(shown(host.evaluate(u"TEXTBRAID()")), u"#VALUE!");
        EXPECT_TRUE(capture.take().empty());
        host.excel.add_new_workbook();
        EXPECT_EQ(events_delivered(), delivered + 2) << "the sink disconnected itself";
        // The sink is gone; the test's own references still hold the server.
        EXPECT_EQ(server().can_unload_now(), S_FALSE);
        EXPECT_EQ(host.excel.live_objects(), 1) << "only the test's own Application is alive";
    }
    EXPECT_EQ(live_dispatch_objects(), wrappers);
    EXPECT_EQ(server().can_unload_now(), S_OK);
}

TEST(Connection, HostWithoutApplicationInterfaceLeavesTheAddinDisconnected) {
    ComHost host;
    // A workbook object answers no _Application: OnConnection still succeeds, nothing connects.
    com_ptr<IDispatch> workbook;
    {
        std::vector<Value> one{Value::integer(1)};
        Value books = get(host.excel.application(), u"Workbooks");
        Value book = books.object_value()->invoke(u"Item", InvokeKind::PropertyGet, one);
        workbook = com_ptr<IDispatch>::adopt(dispatch_for(book.object_value()));
    }
    SAFEARRAY* custom = nullptr;
    EXPECT_EQ(host.connect->OnConnection(workbook.get(), ext_cm_Startup, nullptr, &custom), S_OK);
    EXPECT_EQ(host.connect->OnConnection(nullptr, ext_cm_Startup, nullptr, nullptr), S_OK);
    EXPECT_EQ(shown(host.evaluate(u"TEXTBRAID(\",\", TRUE, FALSE, E1:F1)")), u"#VALUE!");
}

TEST(Connection, LateBoundThroughIDispatch) {
    ComHost host;
    com_ptr<IDispatch> late;
    ASSERT_EQ(host.connect->QueryInterface(IID_IDispatch, late.put_void()), S_OK);
    auto id_of = [&](const wchar_t* member) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR name = const_cast<LPOLESTR>(member);
        EXPECT_EQ(late->GetIDsOfNames(IID_NULL, &name, 1, 1033, &id), S_OK);
        return id;
    };
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    VARIANT args[4];  // right to left: custom, AddInInst, ConnectMode, Application
    args[0].vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    args[0].pparray = &custom;
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = nullptr;
    args[2].vt = VT_I4;
    args[2].lVal = ext_cm_Startup;
    args[3].vt = VT_DISPATCH;
    args[3].pdispVal = host.application.get();
    DISPPARAMS params{args, nullptr, 4, 0};
    EXPECT_EQ(late->Invoke(id_of(L"OnConnection"), IID_NULL, 1033, DISPATCH_METHOD, &params,
                           nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(shown(host.evaluate(u"TEXTBRAID(\",\", TRUE, FALSE, E1:F1)")), u"tl,tr");
    DISPPARAMS one{args, nullptr, 1, 0};
    for (const wchar_t* member : {L"OnAddInsUpdate", L"OnStartupComplete", L"OnBeginShutdown"})
        EXPECT_EQ(late->Invoke(id_of(member), IID_NULL, 1033, DISPATCH_METHOD, &one, nullptr,
                               nullptr, nullptr),
                  S_OK);
    args[1].vt = VT_I4;
    args[1].lVal = ext_dm_HostShutdown;
    DISPPARAMS two{args, nullptr, 2, 0};
    EXPECT_EQ(late->Invoke(id_of(L"OnDisconnection"), IID_NULL, 1033, DISPATCH_METHOD, &two,
                           nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(shown(host.evaluate(u"TEXTBRAID(\",\", TRUE, FALSE, E1:F1)")), u"#VALUE!");
    EXPECT_EQ(late->Invoke(id_of(L"OnStartupComplete"), IID_NULL, 1033, DISPATCH_METHOD, nullptr,
                           nullptr, nullptr, nullptr),
              E_POINTER);
    DISPPARAMS three{args, nullptr, 3, 0};
    EXPECT_EQ(late->Invoke(id_of(L"OnConnection"), IID_NULL, 1033, DISPATCH_METHOD, &three, nullptr,
                           nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(late->Invoke(9, IID_NULL, 1033, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    DISPID named = 0;
    DISPPARAMS with_name{args, &named, 1, 1};
    EXPECT_EQ(late->Invoke(id_of(L"OnBeginShutdown"), IID_NULL, 1033, DISPATCH_METHOD, &with_name,
                           nullptr, nullptr, nullptr),
              DISP_E_NONAMEDARGS);
    SafeArrayDestroy(custom);
}

// A host call that fails reaches the DLL as DISP_E_EXCEPTION with the cause in EXCEPINFO; the
// call answers #VALUE! and still releases every object.
TEST(HostFailures, ReportedThroughExcepInfo) {
    for (const char16_t* operation :
         {u"Application.Intersect", u"Range.Value2", u"Workbooks.Count", u"Range.Worksheet"}) {
        ComHost host;
        ASSERT_EQ(host.connect_addin(), S_OK);
        const std::int64_t live = host.excel.live_objects();
        host.excel.fail_call(operation, 1, static_cast<std::int32_t>(0x800A03EC));
        EXPECT_EQ(shown(host.evaluate(u"TEXTBRAID(\",\", TRUE, FALSE, E1:F2)")), u"#VALUE!")
            << utf8(operation);
        EXPECT_EQ(host.excel.live_objects(), live);
    }
}

}  // namespace
}  // namespace tb::wine
