#include "tests/wine/com/com_host.h"

#include "tests/support/case_book.h"
#include "tests/wine/com/support.h"
#include "tools/output.h"
#include "tools/winexcel/standin_dispatch.h"

namespace tb::wine {

void ComEnvironment::SetUp() {
    CoInitialize(nullptr);
    serve_standin_over_com();
    ASSERT_TRUE(server().module);
    ASSERT_EQ(server().register_server(), S_OK);
}

void ComEnvironment::TearDown() {
    server().unregister_server();
    CoUninitialize();
}

ComHost::ComHost(standin::Profile profile) : excel(profile) {
    excel.open(testing::case_book());
    application = com::com_ptr<IDispatch>::adopt(dispatch_for(excel.application()));
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(L"kzTEXTBRAID.ConnectExcel", &clsid), S_OK);
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDTExtensibility2,
                               connect.put_void()),
              S_OK);
    EXPECT_EQ(CLSIDFromProgID(L"kzTEXTBRAID.TEXTBRAID", &clsid), S_OK);
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, function.put_void()),
        S_OK);
    LPOLESTR name = const_cast<LPOLESTR>(L"TEXTBRAID");
    EXPECT_EQ(function->GetIDsOfNames(IID_NULL, &name, 1, 1033, &dispid), S_OK);
}

ComHost::~ComHost() {
    if (connect) disconnect_addin();
    function.reset();
    connect.reset();
    application.reset();
}

HRESULT ComHost::connect_addin() {
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    const HRESULT hr =
        connect->OnConnection(application.get(), ext_cm_AfterStartup, nullptr, &custom);
    SafeArrayDestroy(custom);
    return hr;
}

HRESULT ComHost::disconnect_addin() {
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    const HRESULT hr = connect->OnDisconnection(ext_dm_UserClosed, &custom);
    SafeArrayDestroy(custom);
    return hr;
}

HRESULT ComHost::invoke(std::vector<com::unique_variant>& reversed, Value& result) {
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.front().get(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    com::unique_variant answer;
    const HRESULT hr =
        function->Invoke(dispid, IID_NULL, 1033, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                         answer.get(), nullptr, nullptr);
    result = com::to_value(*answer);
    return hr;
}

Value ComHost::evaluate(const std::u16string& formula) {
    last_invoke = S_OK;
    return excel.evaluate(
        formula, [this](std::u16string_view name, std::span<const Value> args, Value& result) {
            if (!iequals(name, u"TEXTBRAID")) return false;
            std::vector<com::unique_variant> reversed(args.size());
            for (std::size_t i = 0; i < args.size(); ++i)
                com::to_variant(args[i], reversed[args.size() - 1 - i].get());
            last_invoke = invoke(reversed, result);
            EXPECT_EQ(last_invoke, S_OK);
            // As Excel shows a range that a function returns: by its value.
            if (result.is_object() && result.object_value())
                result = get(result.object_value(), u"");
            return true;
        });
}

std::u16string shown(const Value& v) {
    return tools::shown_text(v);
}

std::string narrow(const std::u16string& s) {
    return utf8(s.size() > 80 ? s.substr(0, 80) : s);
}

}  // namespace tb::wine
