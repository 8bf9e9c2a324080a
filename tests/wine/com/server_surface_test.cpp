// The server's COM surface seen from a client: the embedded type library, the resources, the
// version information, activation by ProgID, and clean status codes for bad calls.
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

std::wstring name_of(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
    BSTR name = nullptr;
    info->GetDocumentation(id, &name, nullptr, nullptr, nullptr);
    std::wstring text = name ? name : L"";
    SysFreeString(name);
    return text;
}

TEST_F(ServerSurface, TypeLibrary) {
    com_ptr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLib(dll_path().c_str(), library.put()), S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_kzTEXTBRAID));
    EXPECT_EQ(attr->lcid, 0u);
    EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);  // the build's own
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    // No library flags of its own; oleaut32 marks every library it loads from disk.
    EXPECT_EQ(attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0);
    library->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr, help = nullptr;
    ASSERT_EQ(library->GetDocumentation(-1, &name, &doc, nullptr, &help), S_OK);
    EXPECT_STREQ(name, L"kzTEXTBRAID");
    EXPECT_STREQ(doc, L"Concatenates Excel Cell Range Values");
    EXPECT_EQ(help, nullptr);
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(help);

    // The dispatch side of each dual interface is hidden, dual and nonextensible; its vtable
    // side is also marked oleautomation.
    const WORD dispatch_flags =
        TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    struct Entry {
        const wchar_t* name;
        TYPEKIND kind;
        const GUID& guid;
        WORD flags;
    };
    const Entry entries[] = {
        {L"_ConnectExcel", TKIND_DISPATCH, IID__ConnectExcel, dispatch_flags},
        {L"ConnectExcel", TKIND_COCLASS, CLSID_ConnectExcel, TYPEFLAG_FCANCREATE},
        {L"_TEXTBRAID", TKIND_DISPATCH, IID__TEXTBRAID, dispatch_flags},
        {L"TEXTBRAID", TKIND_COCLASS, CLSID_TEXTBRAID, TYPEFLAG_FCANCREATE},
        {L"_CExcelEvents", TKIND_DISPATCH, IID__CExcelEvents, dispatch_flags},
        {L"CExcelEvents", TKIND_COCLASS, CLSID_CExcelEvents, TYPEFLAG_FCANCREATE},
    };
    // The six entries come in this order; the locally declared add-in interface and its two
    // enumerations are placed where ConnectExcel first refers to them.
    std::vector<std::wstring> others;
    const Entry* next = entries;
    for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
        com_ptr<ITypeInfo> info;
        ASSERT_EQ(library->GetTypeInfo(i, info.put()), S_OK);
        const std::wstring entry_name = name_of(info.get());
        if (next == std::end(entries) || entry_name != next->name) {
            others.push_back(entry_name);
            continue;
        }
        const Entry& e = *next++;
        SCOPED_TRACE(std::string(entry_name.begin(), entry_name.end()));
        TYPEATTR* type = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
        EXPECT_EQ(type->typekind, e.kind);
        EXPECT_TRUE(IsEqualGUID(type->guid, e.guid));
        EXPECT_EQ(type->wTypeFlags, e.flags);
        EXPECT_EQ(type->wMajorVerNum, 1);
        EXPECT_EQ(type->wMinorVerNum, 0);
        const bool coclass = e.kind == TKIND_COCLASS;
        const bool connect = IsEqualGUID(e.guid, CLSID_ConnectExcel);
        EXPECT_EQ(type->cImplTypes, coclass && connect ? 2 : 1);
        info->ReleaseTypeAttr(type);
        HREFTYPE ref = 0;
        ASSERT_EQ(info->GetRefTypeOfImplType(coclass ? 0 : static_cast<UINT>(-1), &ref), S_OK);
        com_ptr<ITypeInfo> related;
        ASSERT_EQ(info->GetRefTypeInfo(ref, related.put()), S_OK);
        if (coclass) {
            // The first implemented interface is the default one.
            EXPECT_EQ(name_of(related.get()), std::wstring(L"_") + e.name);
            INT impl_flags = 0;
            info->GetImplTypeFlags(0, &impl_flags);
            EXPECT_EQ(impl_flags, IMPLTYPEFLAG_FDEFAULT);
        } else {
            ASSERT_EQ(related->GetTypeAttr(&type), S_OK);
            EXPECT_EQ(type->typekind, TKIND_INTERFACE);
            EXPECT_EQ(type->wTypeFlags, e.flags | TYPEFLAG_FOLEAUTOMATION);
            related->ReleaseTypeAttr(type);
        }
    }
    EXPECT_EQ(next, std::end(entries)) << "the six entries are missing or out of order";
    EXPECT_EQ(others, (std::vector<std::wstring>{L"IDTExtensibility2", L"ext_ConnectMode",
                                                 L"ext_DisconnectMode"}));

    // ConnectExcel's second interface: the add-in interface with its published IID.
    com_ptr<ITypeInfo> connect, extensibility;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_ConnectExcel, connect.put()), S_OK);
    HREFTYPE ref = 0;
    ASSERT_EQ(connect->GetRefTypeOfImplType(1, &ref), S_OK);
    ASSERT_EQ(connect->GetRefTypeInfo(ref, extensibility.put()), S_OK);
    TYPEATTR* type = nullptr;
    ASSERT_EQ(extensibility->GetTypeAttr(&type), S_OK);
    EXPECT_TRUE(IsEqualGUID(type->guid, IID_IDTExtensibility2));
    EXPECT_EQ(type->cFuncs, 5);
    extensibility->ReleaseTypeAttr(type);

    // The worksheet method, on the vtable side of the dual interface.
    com_ptr<ITypeInfo> dispatch, vtable;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID__TEXTBRAID, dispatch.put()), S_OK);
    ASSERT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    ASSERT_EQ(dispatch->GetRefTypeInfo(ref, vtable.put()), S_OK);
    ASSERT_EQ(vtable->GetTypeAttr(&type), S_OK);
    EXPECT_EQ(type->typekind, TKIND_INTERFACE);
    EXPECT_EQ(type->cFuncs, 1);  // the only slot after IDispatch's seven
    vtable->ReleaseTypeAttr(type);
    FUNCDESC* func = nullptr;
    ASSERT_EQ(vtable->GetFuncDesc(0, &func), S_OK);
    EXPECT_EQ(func->memid, kDispidTextBraid);
    EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
    EXPECT_EQ(func->invkind, INVOKE_FUNC);
    EXPECT_EQ(func->callconv, CC_STDCALL);
    EXPECT_EQ(func->cParamsOpt, -1);  // vararg
    EXPECT_EQ(func->wFuncFlags, 0);
    EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
    ASSERT_EQ(func->cParams, 2);
    const ELEMDESC& params = func->lprgelemdescParam[0];
    EXPECT_EQ(params.paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOUT);
    ASSERT_EQ(params.tdesc.vt, VT_PTR);
    ASSERT_EQ(params.tdesc.lptdesc->vt, VT_SAFEARRAY);
    EXPECT_EQ(params.tdesc.lptdesc->lptdesc->vt, VT_VARIANT);
    const ELEMDESC& result = func->lprgelemdescParam[1];
    EXPECT_EQ(result.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    ASSERT_EQ(result.tdesc.vt, VT_PTR);
    EXPECT_EQ(result.tdesc.lptdesc->vt, VT_VARIANT);
    vtable->ReleaseFuncDesc(func);
    BSTR help_string = nullptr;
    vtable->GetDocumentation(kDispidTextBraid, nullptr, &help_string, nullptr, nullptr);
    EXPECT_EQ(help_string, nullptr);
    SysFreeString(help_string);
    BSTR names[3] = {};
    UINT count = 0;
    ASSERT_EQ(vtable->GetNames(kDispidTextBraid, names, 3, &count), S_OK);
    ASSERT_GE(count, 2u);
    EXPECT_STREQ(names[0], L"TEXTBRAID");
    EXPECT_STREQ(names[1], L"params");
    for (BSTR& n : names)
        SysFreeString(n);
}

TEST_F(ServerSurface, DefaultInterfaceRecords) {
    struct Record {
        const wchar_t* type;
        const IID& iid;
    };
    for (const Record& r : {Record{L"_IID_CONNECTEXCEL", IID__ConnectExcel},
                            Record{L"_IID_TEXTBRAID", IID__TEXTBRAID},
                            Record{L"_IID_CEXCELEVENTS", IID__CExcelEvents}}) {
        SCOPED_TRACE(std::string(r.type, r.type + wcslen(r.type)));
        HRSRC found = FindResourceExW(server().module, r.type, MAKEINTRESOURCEW(1),
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
        ASSERT_NE(found, nullptr);
        ASSERT_EQ(SizeofResource(server().module, found), 20u);
        const auto* bytes =
            static_cast<const BYTE*>(LockResource(LoadResource(server().module, found)));
        DWORD length = 0;
        memcpy(&length, bytes, 4);
        EXPECT_EQ(length, 16u);
        EXPECT_EQ(memcmp(bytes + 4, &r.iid, 16), 0);
    }
    EXPECT_NE(FindResourceW(server().module, MAKEINTRESOURCEW(1), L"TYPELIB"), nullptr);
}

TEST_F(ServerSurface, VersionInformation) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(dll_path().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(dll_path().c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    struct Entry {
        const wchar_t* name;
        const wchar_t* value;
    };
    for (const Entry& e :
         {Entry{L"Comments", L"Concatenates Excel Cell Ranges."},
          Entry{L"FileDescription", L"Concatenates Excel Cell Ranges."},
          Entry{L"ProductName", L"TextBraid"}, Entry{L"InternalName", L"TextBraid"},
          Entry{L"OriginalFilename", L"TextBraid.dll"}, Entry{L"FileVersion", L"1.00"},
          Entry{L"ProductVersion", L"1.00"}, Entry{L"OLESelfRegister", L""}}) {
        wchar_t* value = nullptr;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + e.name;
        ASSERT_TRUE(
            VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
            << std::string(e.name, e.name + wcslen(e.name));
        EXPECT_STREQ(value, e.value);
    }
    DWORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(*translation, MAKELONG(0x0409, 1200));
}

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
