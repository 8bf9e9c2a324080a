// The server seen from a client (registered by the worksheet tests' environment): activation by
// ProgID, dispatch identifiers, clean status codes for bad calls, when the DLL may be unloaded;
// and the VARIANT <-> value bridge on the real automation runtime with what clients send
// (by-reference, null BSTRs and objects, VT_UNKNOWN, any arrays) and the round trip back out.
#include <gtest/gtest.h>

#include <ocidl.h>

#include <memory>
#include <string>
#include <vector>

#include "server/com/bridge.h"
#include "server/com/com_util.h"
#include "server/com/textbraid_h.h"
#include "tests/wine/com/support.h"

namespace tb::wine {
namespace {

using com::com_ptr;

constexpr DISPID kDispidTextBraid = 0x60030004;

DISPID id_of(IDispatch* object, const wchar_t* member, HRESULT expected = S_OK) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(member);
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, &name, 1, 1033, &id), expected);
    return id;
}

TEST(ServerSurface, ActivationByProgIdAndTheMethodsDispatchId) {
    // The worksheet tests find TEXTBRAID by its own spelling; names are case-insensitive.
    for (auto [progid, expected_clsid, iid, member, id] :
         {std::tuple{L"kzTEXTBRAID.TEXTBRAID", &CLSID_TEXTBRAID, &IID__TEXTBRAID, L"textbraid",
                     kDispidTextBraid},
          {L"kzTEXTBRAID.ConnectExcel", &CLSID_ConnectExcel, &IID__ConnectExcel,
           L"OnStartupComplete", 4},
          {L"kzTEXTBRAID.CExcelEvents", &CLSID_CExcelEvents, &IID__CExcelEvents, nullptr, 0}}) {
        SCOPED_TRACE(progid);
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(progid, &clsid), S_OK);
        EXPECT_TRUE(IsEqualCLSID(clsid, *expected_clsid));
        com_ptr<IDispatch> object;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   object.put_void()),
                  S_OK);
        com_ptr<IUnknown> as_default;
        EXPECT_EQ(object->QueryInterface(*iid, as_default.put_void()), S_OK);
        UINT count = 0;
        EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(server().can_unload_now(), S_FALSE);
        EXPECT_TRUE(!member || id_of(object.get(), member) == id);
        if (id == kDispidTextBraid) id_of(object.get(), L"ParseSwitch", DISP_E_UNKNOWNNAME);
    }
}

TEST(ServerSurface, BadCallsGiveCleanStatusCodes) {
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
    VARIANT arg{}, result{};
    DISPID named = 7;
    DISPPARAMS one{&arg, nullptr, 1, 0}, with_name{&arg, &named, 1, 1};
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

TEST(ServerSurface, CanUnloadOnlyWhenNoObjectOrLockRemains) {
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

// A readable form of a value, arrays with their bounds, for comparisons.
std::string describe(const Value& v) {
    static const char* const kKinds[] = {"empty",   "null",   "error",  "bool",   "byte",
                                         "integer", "long",   "single", "double", "currency",
                                         "decimal", "string", "date",   "object", "array"};
    std::string s = kKinds[static_cast<int>(v.kind())];
    if (v.is_null() || v.kind() == Kind::Empty) return s;
    if (v.is_error()) return s + " " + std::to_string(v.error_code());
    if (v.is_object()) return v.object_value() ? s : "no object";
    if (!v.is_array()) return s + " " + utf8(v.to_text());
    for (const auto& b : v.array_value().bounds())
        s += " [" + std::to_string(b.lower) + "+" + std::to_string(b.count) + "]";
    s += " {";
    for (const Value& e : v.array_value().elements())
        s += describe(e) + "; ";
    return s + "}";
}

// A scalar of type vt made by the runtime's own conversion from a double (errors: the code).
VARIANT num(VARTYPE vt, double x) {
    VARIANT v{};
    v.vt = VT_R8;
    v.dblVal = x;
    if (vt > VT_NULL && vt != VT_ERROR) VariantChangeType(&v, &v, 0, vt);
    if (vt == VT_ERROR) v.scode = static_cast<SCODE>(x);
    if (vt <= VT_NULL || vt == VT_ERROR) v.vt = vt;
    return v;
}

// A variant of type vt whose pointer member (byref, bstrVal, pdispVal, parray...) is p.
VARIANT ref(VARTYPE vt, void* p) {
    VARIANT v{};
    v.vt = vt;
    v.byref = p;
    return v;
}

// A safe array of the elements, already of type vt, in natural order (the last index varies
// fastest).
SAFEARRAY* make_array(VARTYPE vt, std::vector<SAFEARRAYBOUND> b, std::vector<VARIANT> elements) {
    SAFEARRAY* a = SafeArrayCreate(vt, static_cast<UINT>(b.size()), b.data());
    std::vector<LONG> at(b.size());
    for (std::size_t n = 0; n < elements.size(); ++n) {
        for (std::size_t d = b.size(), rest = n; d-- > 0; rest /= b[d].cElements)
            at[d] = b[d].lLbound + static_cast<LONG>(rest % b[d].cElements);
        VARIANT& e = elements[n];
        SafeArrayPutElement(a, at.data(),
                            vt == VT_VARIANT ? &e
                            : vt == VT_BSTR  ? e.byref
                                             : &e.lVal);
        VariantClear(&e);
    }
    return a;
}

// An object that answers IUnknown only; one reference is held by the variant that carries it.
struct PlainUnknown final : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
        return *ppv ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 2;
};

TEST(Bridge, VariantsAsClientsSendThem) {
    LONG by_ref_long = 42;
    BSTR by_ref_text = SysAllocString(L"ref");
    VARIANT inner = num(VT_R8, 2.5);
    PlainUnknown plain;
    SAFEARRAY* nested = make_array(
        VT_VARIANT, {{2, 1}},
        {num(VT_BOOL, 0), ref(VT_ARRAY | VT_VARIANT,
                              make_array(VT_VARIANT, {{1, 0}}, {num(VT_ERROR, -2146826246)}))});
    struct Case {
        std::string expected;  // describe() of the value, or "fails HRESULT"
        VARIANT in;
    } cases[] = {
        {"empty", num(VT_EMPTY, 0)},
        {"null", num(VT_NULL, 0)},
        {"error -2146826273", num(VT_ERROR, -2146826273)},
        {"error -2147352572", num(VT_ERROR, DISP_E_PARAMNOTFOUND)},
        {"bool True", num(VT_BOOL, 1)},
        {"byte 200", num(VT_UI1, 200)},
        {"integer -7", num(VT_I2, -7)},
        {"long 100000", num(VT_I4, 100000)},
        {"single 0.5", num(VT_R4, 0.5)},
        {"double 1.25", num(VT_R8, 1.25)},
        {"currency 1.2345", num(VT_CY, 1.2345)},
        {"date 1/2/2024 12:00:00 PM", num(VT_DATE, 45293.5)},
        {"decimal -123.45", num(VT_DECIMAL, -123.45)},
        {"string abc", ref(VT_BSTR, SysAllocString(L"abc"))},
        {"string ", ref(VT_BSTR, nullptr)},
        {"no object", ref(VT_DISPATCH, nullptr)},
        {"no object", ref(VT_UNKNOWN, nullptr)},
        {"fails -2147352571", ref(VT_UNKNOWN, static_cast<IUnknown*>(&plain))},
        {"long 42", ref(VT_BYREF | VT_I4, &by_ref_long)},
        {"string ref", ref(VT_BYREF | VT_BSTR, &by_ref_text)},
        {"double 2.5", ref(VT_BYREF | VT_VARIANT, &inner)},
        {"fails -2147467261", ref(VT_BYREF | VT_I4, nullptr)},
        {"fails -2147352568", ref(VT_RECORD, nullptr)},
        {"array [-1+3] {long 0; long 10; long 20; }",
         ref(VT_ARRAY | VT_I4,
             make_array(VT_I4, {{3, -1}}, {num(VT_I4, 0), num(VT_I4, 10), num(VT_I4, 20)}))},
        {"array [0+2] [5+3] {string 5; string 6; string 7; string 15; string 16; string 17; }",
         ref(VT_ARRAY | VT_BSTR,
             make_array(VT_BSTR, {{2, 0}, {3, 5}},
                        {num(VT_BSTR, 5), num(VT_BSTR, 6), num(VT_BSTR, 7), num(VT_BSTR, 15),
                         num(VT_BSTR, 16), num(VT_BSTR, 17)}))},
        {"array [1+2] {bool False; array [0+1] {error -2146826246; }; }",
         ref(VT_BYREF | VT_ARRAY | VT_VARIANT, &nested)},
        {"array [0+0] {}", ref(VT_ARRAY | VT_VARIANT, make_array(VT_VARIANT, {{0, 0}}, {}))},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::string got;
        try {
            got = describe(com::to_value(c.in));
            // Back out and in again: the same value (by-reference forms come back as values).
            EXPECT_EQ(describe(com::to_value(*com::to_variant(com::to_value(c.in)))), got);
        } catch (const Failure& failure) {
            got = "fails " + std::to_string(failure.hresult());
        }
        EXPECT_EQ(got, c.expected);
        VariantClear(&c.in);
    }
    SysFreeString(by_ref_text);
    SafeArrayDestroy(nested);
    EXPECT_EQ(plain.refs, 1u) << "the VT_UNKNOWN's reference was given back";
    // Early-bound callers of the worksheet method may pass no argument list, or a grid.
    EXPECT_TRUE(com::to_values(nullptr).empty());
    SAFEARRAY* grid = make_array(VT_VARIANT, {{1, 0}, {1, 0}}, {num(VT_EMPTY, 0)});
    EXPECT_THROW(com::to_values(grid), Failure);
    SafeArrayDestroy(grid);
}

// An object of one of two interfaces: every name gets an identifier of the object's interface
// (Cells 1, Raise 2, any other 3, plus 100 times the interface), and a call with another
// interface's identifier fails. Cells gives an object of interface 2 (a range), Raise the
// exception set in `raise`, any other member "number:first,second" of its arguments.
struct Recorder final : IDispatch {
    Recorder(int kind_, int number_) : kind(kind_), number(number_) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        const bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch);
        *ppv = known ? this : nullptr;
        return known ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID,
                                            DISPID* ids) override {
        const std::wstring name = names[0];
        *ids = kind * 100 + (name == L"Cells" ? 1 : name == L"Raise" ? 2 : 3);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* info, UINT*) override {
        if (id / 100 != kind) return DISP_E_MEMBERNOTFOUND;
        if (id % 100 == 1) {
            if (!cells) cells = std::make_unique<Recorder>(2, number + 1000);
            *result = ref(VT_DISPATCH, cells.get());
            cells->AddRef();
        } else if (id % 100 == 2) {
            *info = raise;
            if (raise_answer == DISP_E_EXCEPTION) info->bstrDescription = SysAllocString(L"raised");
            return raise_answer;
        } else {
            std::wstring text = std::to_wstring(number) + L":";
            for (UINT i = params->cArgs; i-- > 0;)  // rgvarg holds the last argument first
                text += std::wstring(params->rgvarg[i].bstrVal) + (i ? L"," : L"");
            *result = ref(VT_BSTR, SysAllocString(text.c_str()));
        }
        return S_OK;
    }
    int kind, number;
    ULONG refs = 1;
    std::unique_ptr<Recorder> cells;
    EXCEPINFO raise{};
    HRESULT raise_answer = DISP_E_EXCEPTION;
};

TEST(Bridge, HostObjectWrappersAreReusedCleanly) {
    // Rounds of more wrappers alive at once than the blocks kept for reuse, dropped and made
    // again, the last after the blocks kept were freed: each reaches its own object with the
    // identifiers of its own interface, its Cells those of a range, and gives every count back.
    std::vector<std::unique_ptr<Recorder>> objects;
    for (int i = 0; i < 40; ++i)
        objects.push_back(std::make_unique<Recorder>(1 + i % 2, i));
    const Value args[] = {Value::string(u"a"), Value::string(u"b")};
    for (int round = 0; round < 3; ++round) {
        if (round == 2) com::release_cached_blocks();
        std::vector<ObjectRef> hosts;
        for (auto& object : objects)
            hosts.push_back(com::host_object(object.get()));
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            EXPECT_EQ(utf8(hosts[i]->invoke(u"Item", InvokeKind::Method, args).to_text()),
                      std::to_string(i) + ":a,b");
            const ObjectRef cell =
                hosts[i]->invoke(u"Cells", InvokeKind::PropertyGet, {}).object_value();
            EXPECT_EQ(utf8(cell->invoke(u"Item", InvokeKind::Method, args).to_text()),
                      std::to_string(i + 1000) + ":a,b");
        }
        hosts.clear();
        for (auto& object : objects)
            EXPECT_TRUE(object->refs == 1 && object->cells->refs == 1) << object->number;
    }
}

// An exception's SCODE when that is a failure, else its number as a FACILITY_CONTROL code; a
// failure that is no exception as it is.
TEST(Bridge, HostExceptionsGiveTheirOwnCode) {
    const auto xl = static_cast<HRESULT>(0x800A03EC);
    for (auto [scode, number, answer, expected] : {std::tuple{xl, 0, DISP_E_EXCEPTION, xl},
                                                   {S_OK, 1004, DISP_E_EXCEPTION, xl},
                                                   {S_FALSE, 0, DISP_E_EXCEPTION, DISP_E_EXCEPTION},
                                                   {E_OUTOFMEMORY, 0, E_FAIL, E_FAIL}}) {
        Recorder object(1, 0);
        object.raise.scode = scode;
        object.raise.wCode = static_cast<WORD>(number);
        object.raise_answer = answer;
        HRESULT got = S_OK;
        try {
            com::host_object(&object)->invoke(u"Raise", InvokeKind::Method, {});
        } catch (const Failure& failure) {
            got = failure.hresult();
        }
        EXPECT_EQ(got, expected) << scode << " " << number;
    }
}

}  // namespace
}  // namespace tb::wine
