// The server seen from a client: activation by ProgID, the method's dispatch identifier, clean
// status codes for bad calls, and when the DLL may be unloaded.
#include <gtest/gtest.h>

#include <ocidl.h>

#include <vector>

#include "server/com/com_util.h"
#include "server/com/textbraid_h.h"
#include "tests/wine/com/support.h"

namespace tb::wine {
namespace {

using com::com_ptr;

constexpr DISPID kDispidTextBraid = 0x60030004;

class ServerSurface : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitialize(nullptr);
        ASSERT_TRUE(server().module);
        ASSERT_EQ(server().register_server(), S_OK);
    }
    static void TearDownTestSuite() {
        CoFreeUnusedLibraries();
        EXPECT_EQ(server().unregister_server(), S_OK);
        CoUninitialize();
    }
};

TEST_F(ServerSurface, ActivationByProgIdAndTheMethodsDispatchId) {
    struct Class {
        const wchar_t* progid;
        const CLSID& clsid;
        const IID& iid;
    };
    for (const Class& c :
         {Class{L"kzTEXTBRAID.TEXTBRAID", CLSID_TEXTBRAID, IID__TEXTBRAID},
          Class{L"kzTEXTBRAID.ConnectExcel", CLSID_ConnectExcel, IID__ConnectExcel},
          Class{L"kzTEXTBRAID.CExcelEvents", CLSID_CExcelEvents, IID__CExcelEvents}}) {
        SCOPED_TRACE(std::string(c.progid, c.progid + wcslen(c.progid)));
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(c.progid, &clsid), S_OK);
        EXPECT_TRUE(IsEqualCLSID(clsid, c.clsid));
        com_ptr<IDispatch> object;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   object.put_void()),
                  S_OK);
        com_ptr<IUnknown> as_default;
        EXPECT_EQ(object->QueryInterface(c.iid, as_default.put_void()), S_OK);
        UINT count = 0;
        EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(server().can_unload_now(), S_FALSE);
    }
    com_ptr<IDispatch> textbraid;
    ASSERT_EQ(CoCreateInstance(CLSID_TEXTBRAID, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               textbraid.put_void()),
              S_OK);
    for (const wchar_t* spelling : {L"TEXTBRAID", L"textbraid", L"TextBraid"}) {
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(spelling);
        EXPECT_EQ(textbraid->GetIDsOfNames(IID_NULL, &name, 1, 1033, &id), S_OK);
        EXPECT_EQ(id, kDispidTextBraid);
    }
    DISPID id = 0;
    LPOLESTR unknown = const_cast<LPOLESTR>(L"ParseSwitch");
    EXPECT_EQ(textbraid->GetIDsOfNames(IID_NULL, &unknown, 1, 1033, &id), DISP_E_UNKNOWNNAME);

    // ConnectExcel answers late-bound calls with IDTExtensibility2's members.
    com_ptr<IDispatch> connect;
    ASSERT_EQ(CoCreateInstance(CLSID_ConnectExcel, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               connect.put_void()),
              S_OK);
    LPOLESTR on_startup = const_cast<LPOLESTR>(L"OnStartupComplete");
    ASSERT_EQ(connect->GetIDsOfNames(IID_NULL, &on_startup, 1, 1033, &id), S_OK);
    EXPECT_EQ(id, 4);
}

TEST_F(ServerSurface, BadCallsGiveCleanStatusCodes) {
    const GUID foreign = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(server().get_class_object(foreign, IID_IClassFactory, factory.put_void()),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_FALSE(factory);
    EXPECT_EQ(server().get_class_object(CLSID_TEXTBRAID, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(server().get_class_object(CLSID_TEXTBRAID, foreign, factory.put_void()),
              E_NOINTERFACE);
    ASSERT_EQ(server().get_class_object(CLSID_TEXTBRAID, IID_IClassFactory, factory.put_void()),
              S_OK);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, nullptr), E_POINTER);
    com_ptr<IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IUnknown, object.put_void()),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->CreateInstance(nullptr, foreign, object.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(object);

    com_ptr<IDispatch> textbraid;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, textbraid.put_void()), S_OK);
    VARIANT arg;
    VariantInit(&arg);
    DISPID named = 7;
    DISPPARAMS one{&arg, nullptr, 1, 0}, with_name{&arg, &named, 1, 1};
    VARIANT result;
    VariantInit(&result);
    struct Call {
        DISPID id;
        const IID& iid;
        WORD flags;
        DISPPARAMS* params;
        HRESULT expected;
    };
    for (const Call& c :
         {Call{12345, IID_NULL, DISPATCH_METHOD, &one, DISP_E_MEMBERNOTFOUND},
          Call{kDispidTextBraid, foreign, DISPATCH_METHOD, &one, DISP_E_UNKNOWNINTERFACE},
          Call{kDispidTextBraid, IID_NULL, DISPATCH_METHOD, &with_name, DISP_E_NONAMEDARGS},
          Call{kDispidTextBraid, IID_NULL, DISPATCH_PROPERTYPUT, &one, DISP_E_MEMBERNOTFOUND},
          Call{kDispidTextBraid, IID_NULL, DISPATCH_METHOD, nullptr, E_POINTER}}) {
        EXPECT_EQ(
            textbraid->Invoke(c.id, c.iid, 1033, c.flags, c.params, &result, nullptr, nullptr),
            c.expected);
        EXPECT_EQ(result.vt, VT_EMPTY);
    }
    com_ptr<_TEXTBRAID> early;
    ASSERT_EQ(textbraid->QueryInterface(IID__TEXTBRAID, early.put_void()), S_OK);
    EXPECT_EQ(early->TEXTBRAID(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(textbraid->GetTypeInfoCount(nullptr), E_POINTER);
    EXPECT_EQ(textbraid->GetTypeInfo(0, 0, nullptr), E_POINTER);
    com_ptr<ITypeInfo> info;
    EXPECT_EQ(textbraid->GetTypeInfo(1, 0, info.put()), DISP_E_BADINDEX);
    EXPECT_EQ(textbraid->GetIDsOfNames(IID_NULL, nullptr, 1, 1033, nullptr), E_POINTER);
    EXPECT_EQ(textbraid->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
    EXPECT_EQ(textbraid->QueryInterface(IID_IConnectionPointContainer, object.put_void()),
              E_NOINTERFACE);
}

TEST_F(ServerSurface, CanUnloadOnlyWhenNoObjectOrLockRemains) {
    CoFreeUnusedLibraries();
    EXPECT_EQ(server().can_unload_now(), S_OK);
    com_ptr<IClassFactory> factory;
    ASSERT_EQ(server().get_class_object(CLSID_CExcelEvents, IID_IClassFactory, factory.put_void()),
              S_OK);
    EXPECT_EQ(server().can_unload_now(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(server().can_unload_now(), S_FALSE);
    ASSERT_EQ(server().get_class_object(CLSID_CExcelEvents, IID_IClassFactory, factory.put_void()),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    com_ptr<IUnknown> sink;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, sink.put_void()), S_OK);
    factory.reset();
    EXPECT_EQ(server().can_unload_now(), S_FALSE);
    sink.reset();
    EXPECT_EQ(server().can_unload_now(), S_OK);
}

}  // namespace
}  // namespace tb::wine
