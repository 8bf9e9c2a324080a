// The worksheet function through the real DLL: the stand-in Excel served over COM, the add-in's
// objects created by ProgID and connected through IDTExtensibility2 as Excel does, every
// formula of the shared case table evaluated by the stand-in with TEXTBRAID called through
// IDispatch::Invoke as Excel calls it (ranges as VT_DISPATCH, omitted arguments as
// DISP_E_PARAMNOTFOUND, error values, arrays).
#include <gtest/gtest.h>

#include "core/worksheet/textbraid.h"
#include "server/com/bridge.h"
#include "server/com/textbraid_h.h"
#include "standin/excel.h"
#include "tests/support/case_book.h"
#include "tests/wine/com/support.h"
#include "tools/output.h"
#include "tools/winexcel/box_capture.h"
#include "tools/winexcel/standin_dispatch.h"
#include "win/dispatch.h"

namespace tb::wine {
namespace {

using com::com_ptr;
using standin::Profile;

// Registers the DLL and serves the stand-in over COM for the whole test program.
class ComEnvironment : public ::testing::Environment {
    void SetUp() override {
        CoInitialize(nullptr);
        serve_standin_over_com();
        ASSERT_TRUE(server().module);
        ASSERT_EQ(server().register_server(), S_OK);
    }
    void TearDown() override {
        EXPECT_EQ(server().unregister_server(), S_OK);
        CoUninitialize();
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

struct ComHost {
    explicit ComHost(Profile profile = Profile::Modern) : excel(profile) {
        excel.open(testing::case_book());
        application = com_ptr<IDispatch>::adopt(dispatch_for(excel.application()));
        for (auto [progid, iid, out] :
             {std::tuple{L"kzTEXTBRAID.ConnectExcel", &IID_IDTExtensibility2, connect.put_void()},
              {L"kzTEXTBRAID.TEXTBRAID", &IID_IDispatch, function.put_void()}}) {
            CLSID clsid{};
            EXPECT_EQ(CLSIDFromProgID(progid, &clsid), S_OK);
            EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, *iid, out), S_OK);
        }
        LPOLESTR name = const_cast<LPOLESTR>(L"TEXTBRAID");
        EXPECT_EQ(function->GetIDsOfNames(IID_NULL, &name, 1, 1033, &dispid), S_OK);
    }
    ~ComHost() {
        if (connect) disconnect_addin();
    }

    // With no custom array, as the DLL never reads it.
    HRESULT connect_addin() {
        return connect->OnConnection(application.get(), ext_cm_AfterStartup, nullptr, nullptr);
    }
    HRESULT disconnect_addin() { return connect->OnDisconnection(ext_dm_UserClosed, nullptr); }

    // Evaluates a formula with TEXTBRAID answered by the DLL through Invoke, arguments right to
    // left as rgvarg holds them; a range it returns is shown by its value, as Excel shows it, and
    // a cell shows no object or array.
    std::u16string evaluate(const std::u16string& formula) {
        const Value shown = excel.evaluate(
            formula, [this](std::u16string_view name, std::span<const Value> args, Value& result) {
                if (!iequals(name, u"TEXTBRAID")) return false;
                win::CallArgs argv(args.size());
                for (std::size_t i = 0; i < args.size(); ++i)
                    com::to_variant(args[i], argv[i]);
                com::unique_variant answer;
                EXPECT_EQ(win::call(function.get(), dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                    argv, answer.get(), 1033),
                          S_OK);
                result = com::to_value(*answer);
                if (result.is_object() && result.object_value())
                    result = get(result.object_value(), u"");
                return true;
            });
        return shown.is_object() || shown.is_array() ? u"<object or array>"
                                                     : tools::shown_text(shown);
    }

    standin::Excel excel;
    com_ptr<IDispatch> application;
    com_ptr<IDTExtensibility2> connect;
    com_ptr<IDispatch> function;
    DISPID dispid = 0;
};

const std::u16string kTopRow = u"TEXTBRAID(\",\", TRUE, FALSE, E1:F1)";

class FormulaCases : public ::testing::TestWithParam<std::tuple<Profile, testing::FormulaCase>> {};

TEST_P(FormulaCases, ThroughTheDllAsNatively) {
    const auto& [profile, c] = GetParam();
    winexcel::BoxCapture capture;
    ComHost host(profile);
    EXPECT_EQ(host.connect_addin(), S_OK);
    const std::int64_t live = host.excel.live_objects(), wrappers = live_dispatch_objects();
    EXPECT_EQ(utf8(host.evaluate(c.formula)), utf8(c.expected)) << c.name;
    EXPECT_EQ(host.excel.live_objects(), live) << "stand-in objects left alive by the call";
    EXPECT_EQ(live_dispatch_objects(), wrappers) << "IDispatch wrappers left alive by the call";
    const std::vector<tools::BoxShown> boxes = capture.take();
    ASSERT_EQ(boxes.size(), c.help_box ? 1u : 0u);
    if (c.help_box) {  // shown modally, with its text intact, a stop icon and an OK button
        EXPECT_EQ(boxes[0].title, u"TEXTBRAID");
        EXPECT_TRUE(boxes[0].text == TextBraidHelpText());
        EXPECT_EQ(boxes[0].style, kStopBoxStyle);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, FormulaCases,
                         ::testing::Combine(::testing::Values(Profile::Modern, Profile::Legacy),
                                            ::testing::ValuesIn(testing::formula_cases())),
                         testing::CaseTestName{});

TEST(Connection, LifecycleEventsAndUnloading) {
    winexcel::BoxCapture capture;
    const std::int64_t wrappers = live_dispatch_objects();
    {
        ComHost host;
        // Before any connection, and after disconnection: #VALUE! and no box.
        EXPECT_EQ(host.evaluate(kTopRow), u"#VALUE!");
        EXPECT_EQ(host.disconnect_addin(), S_OK);  // without a connection: nothing happens
        EXPECT_EQ(host.connect_addin(), S_OK);
        EXPECT_EQ(host.connect_addin(), S_OK);  // replaces the host and the sink
        EXPECT_EQ(host.evaluate(kTopRow), u"tl,tr");

        // Events raised by the stand-in reach the sink and change nothing.
        const std::uint64_t delivered = events_delivered();
        host.excel.add_new_workbook();
        host.excel.open(testing::case_book());
        EXPECT_EQ(events_delivered(), delivered + 2);
        EXPECT_EQ(host.evaluate(kTopRow), u"tl,tr");

        EXPECT_EQ(server().can_unload_now(), S_FALSE);
        EXPECT_EQ(host.disconnect_addin(), S_OK);
        EXPECT_EQ(host.evaluate(kTopRow), u"#VALUE!");
        EXPECT_EQ(host.evaluate(u"TEXTBRAID()"), u"#VALUE!");
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
    // The Workbooks collection answers no _Application: OnConnection succeeds, nothing connects.
    auto workbooks = com_ptr<IDispatch>::adopt(
        dispatch_for(get(host.excel.application(), u"Workbooks").object_value()));
    EXPECT_EQ(host.connect->OnConnection(workbooks.get(), ext_cm_Startup, nullptr, nullptr), S_OK);
    EXPECT_EQ(host.connect->OnConnection(nullptr, ext_cm_Startup, nullptr, nullptr), S_OK);
    EXPECT_EQ(host.evaluate(kTopRow), u"#VALUE!");
}

TEST(Connection, LateBoundThroughIDispatch) {
    ComHost host;
    com_ptr<IDispatch> late;
    ASSERT_EQ(host.connect->QueryInterface(IID_IDispatch, late.put_void()), S_OK);
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    VARIANT args[4] = {};  // right to left: custom, AddInInst, ConnectMode, Application
    args[0].vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    args[0].pparray = &custom;
    args[1].vt = args[3].vt = VT_DISPATCH;
    args[2].vt = VT_I4;
    args[2].lVal = ext_cm_Startup;
    args[3].pdispVal = host.application.get();
    DISPID named = 0;
    DISPPARAMS four{args, nullptr, 4, 0}, three{args, nullptr, 3, 0}, two{args, nullptr, 2, 0},
        one{args, nullptr, 1, 0}, with_name{args, &named, 1, 1};
    struct Call {
        const wchar_t* member;  // or nullptr: an unknown dispatch identifier
        DISPPARAMS* params;
        HRESULT expected;
        const char16_t* after;  // what the formula then shows, or nullptr
    };
    for (const Call& c : {Call{L"OnConnection", &four, S_OK, u"tl,tr"},
                          Call{L"OnAddInsUpdate", &one, S_OK, nullptr},
                          Call{L"OnStartupComplete", &one, S_OK, nullptr},
                          Call{L"OnBeginShutdown", &one, S_OK, u"tl,tr"},
                          Call{L"OnDisconnection", &two, S_OK, u"#VALUE!"},
                          Call{L"OnStartupComplete", nullptr, E_POINTER, nullptr},
                          Call{L"OnConnection", &three, DISP_E_BADPARAMCOUNT, u"#VALUE!"},
                          Call{nullptr, &one, DISP_E_MEMBERNOTFOUND, nullptr},
                          Call{L"OnBeginShutdown", &with_name, DISP_E_NONAMEDARGS, nullptr}}) {
        DISPID id = 9;
        LPOLESTR name = const_cast<LPOLESTR>(c.member);
        EXPECT_EQ(c.member ? late->GetIDsOfNames(IID_NULL, &name, 1, 1033, &id) : S_OK, S_OK);
        if (c.params == &two) args[1].vt = VT_I4, args[1].lVal = ext_dm_HostShutdown;
        EXPECT_EQ(
            late->Invoke(id, IID_NULL, 1033, DISPATCH_METHOD, c.params, nullptr, nullptr, nullptr),
            c.expected);
        EXPECT_TRUE(!c.after || host.evaluate(kTopRow) == c.after) << c.member;
    }
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
        EXPECT_EQ(host.evaluate(u"TEXTBRAID(\",\", TRUE, FALSE, E1:F2)"), u"#VALUE!")
            << utf8(operation);
        EXPECT_EQ(host.excel.live_objects(), live);
    }
}

}  // namespace
}  // namespace tb::wine
