// The VARIANT <-> tagged value bridge on the real automation runtime: what Automation clients
// send (by-reference variants, null BSTRs and objects, VT_UNKNOWN, arrays of any element type
// with any lower bounds, nested arrays) and the round trip back out.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "server/com/bridge.h"

namespace tb::wine {
namespace {

using com::unique_variant;

// A readable form of a value, arrays with their bounds, for comparisons.
std::string describe(const Value& v) {
    switch (v.kind()) {
        case Kind::Empty:
            return "empty";
        case Kind::Null:
            return "null";
        case Kind::Error:
            return "error " + std::to_string(v.error_code());
        case Kind::Boolean:
            return v.boolean_value() ? "bool true" : "bool false";
        case Kind::Byte:
            return "byte " + utf8(v.to_text());
        case Kind::Integer:
            return "integer " + utf8(v.to_text());
        case Kind::Long:
            return "long " + utf8(v.to_text());
        case Kind::Single:
            return "single " + utf8(v.to_text());
        case Kind::Double:
            return "double " + utf8(v.to_text());
        case Kind::Currency:
            return "currency " + std::to_string(v.currency_value());
        case Kind::Decimal: {
            const Decimal& d = v.decimal_value();
            return "decimal " + std::string(d.negative ? "-" : "") + std::to_string(d.lo) + "e-" +
                   std::to_string(d.scale);
        }
        case Kind::String:
            return "string '" + utf8(v.string_value()) + "'";
        case Kind::Date:
            return "date " + std::to_string(v.date_value());
        case Kind::Object:
            return v.object_value() ? "object" : "no object";
        case Kind::Array: {
            const Array& a = v.array_value();
            std::string s = "array";
            for (const auto& b : a.bounds())
                s += " [" + std::to_string(b.lower) + "+" + std::to_string(b.count) + "]";
            s += " {";
            for (const Value& e : a.elements())
                s += describe(e) + "; ";
            return s + "}";
        }
    }
    return "?";
}

SAFEARRAY* make_array(VARTYPE vt, std::initializer_list<SAFEARRAYBOUND> bounds,
                      const std::function<void(SAFEARRAY*, LONG*, int)>& fill) {
    std::vector<SAFEARRAYBOUND> b(bounds);
    SAFEARRAY* a = SafeArrayCreate(vt, static_cast<UINT>(b.size()), b.data());
    std::vector<LONG> at(b.size());
    int n = 0;
    // Natural order: the last index varies fastest.
    std::function<void(std::size_t)> walk = [&](std::size_t d) {
        if (d == b.size()) {
            fill(a, at.data(), n++);
            return;
        }
        for (ULONG i = 0; i < b[d].cElements; ++i) {
            at[d] = b[d].lLbound + static_cast<LONG>(i);
            walk(d + 1);
        }
    };
    walk(0);
    return a;
}

// An object that answers IUnknown only.
struct PlainUnknown final : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 1;
};

struct Case {
    const char* name;
    std::function<void(VARIANT*)> build;  // fills an empty VARIANT
    std::string expected;                 // describe() of the value, or "fails HRESULT"
};

TEST(Bridge, VariantsAsClientsSendThem) {
    static VARIANT inner;
    static LONG by_ref_long = 42;
    static BSTR by_ref_text = nullptr;
    static SAFEARRAY* by_ref_array = nullptr;
    static PlainUnknown plain;
    inner.vt = VT_R8;
    inner.dblVal = 2.5;
    const Case cases[] = {
        {"empty", [](VARIANT*) {}, "empty"},
        {"null", [](VARIANT* v) { v->vt = VT_NULL; }, "null"},
        {"error",
         [](VARIANT* v) {
             v->vt = VT_ERROR;
             v->scode = static_cast<SCODE>(0x800A07DF);
         },
         "error -2146826273"},
        {"missing",
         [](VARIANT* v) {
             v->vt = VT_ERROR;
             v->scode = DISP_E_PARAMNOTFOUND;
         },
         "error -2147352572"},
        {"bool",
         [](VARIANT* v) {
             v->vt = VT_BOOL;
             v->boolVal = VARIANT_TRUE;
         },
         "bool true"},
        {"byte",
         [](VARIANT* v) {
             v->vt = VT_UI1;
             v->bVal = 200;
         },
         "byte 200"},
        {"short",
         [](VARIANT* v) {
             v->vt = VT_I2;
             v->iVal = -7;
         },
         "integer -7"},
        {"long",
         [](VARIANT* v) {
             v->vt = VT_I4;
             v->lVal = 100000;
         },
         "long 100000"},
        {"single",
         [](VARIANT* v) {
             v->vt = VT_R4;
             v->fltVal = 0.5f;
         },
         "single 0.5"},
        {"double",
         [](VARIANT* v) {
             v->vt = VT_R8;
             v->dblVal = 1.25;
         },
         "double 1.25"},
        {"currency",
         [](VARIANT* v) {
             v->vt = VT_CY;
             v->cyVal.int64 = 12345;
         },
         "currency 12345"},
        {"date",
         [](VARIANT* v) {
             v->vt = VT_DATE;
             v->date = 45293.5;
         },
         "date 45293.500000"},
        {"decimal",
         [](VARIANT* v) {
             DECIMAL d{};
             d.scale = 2;
             d.sign = DECIMAL_NEG;
             d.Lo64 = 12345;
             v->decVal = d;
             v->vt = VT_DECIMAL;
         },
         "decimal -12345e-2"},
        {"text",
         [](VARIANT* v) {
             v->vt = VT_BSTR;
             v->bstrVal = SysAllocString(L"abc");
         },
         "string 'abc'"},
        {"null text",
         [](VARIANT* v) {
             v->vt = VT_BSTR;
             v->bstrVal = nullptr;
         },
         "string ''"},
        {"null object",
         [](VARIANT* v) {
             v->vt = VT_DISPATCH;
             v->pdispVal = nullptr;
         },
         "no object"},
        {"null unknown",
         [](VARIANT* v) {
             v->vt = VT_UNKNOWN;
             v->punkVal = nullptr;
         },
         "no object"},
        {"unknown without IDispatch",
         [](VARIANT* v) {
             v->vt = VT_UNKNOWN;
             v->punkVal = &plain;
             plain.AddRef();
         },
         "fails -2147352571"},
        {"by reference long",
         [](VARIANT* v) {
             v->vt = VT_BYREF | VT_I4;
             v->plVal = &by_ref_long;
         },
         "long 42"},
        {"by reference text",
         [](VARIANT* v) {
             by_ref_text = SysAllocString(L"ref");
             v->vt = VT_BYREF | VT_BSTR;
             v->pbstrVal = &by_ref_text;
         },
         "string 'ref'"},
        {"by reference variant",
         [](VARIANT* v) {
             v->vt = VT_BYREF | VT_VARIANT;
             v->pvarVal = &inner;
         },
         "double 2.5"},
        {"null by reference",
         [](VARIANT* v) {
             v->vt = VT_BYREF | VT_I4;
             v->plVal = nullptr;
         },
         "fails -2147467261"},
        {"record", [](VARIANT* v) { v->vt = VT_RECORD; }, "fails -2147352568"},
        {"1-D longs from -1",
         [](VARIANT* v) {
             v->vt = VT_ARRAY | VT_I4;
             v->parray = make_array(VT_I4, {{3, -1}}, [](SAFEARRAY* a, LONG* at, int n) {
                 LONG x = 10 * n;
                 SafeArrayPutElement(a, at, &x);
             });
         },
         "array [-1+3] {long 0; long 10; long 20; }"},
        {"2-D texts from 0 and 5, row by row",
         [](VARIANT* v) {
             v->vt = VT_ARRAY | VT_BSTR;
             v->parray = make_array(VT_BSTR, {{2, 0}, {3, 5}}, [](SAFEARRAY* a, LONG* at, int n) {
                 BSTR s = SysAllocString(std::to_wstring(at[0] * 10 + at[1]).c_str());
                 SafeArrayPutElement(a, at, s);
                 SysFreeString(s);
                 (void)n;
             });
         },
         "array [0+2] [5+3] {string '5'; string '6'; string '7'; string '15'; string '16'; string "
         "'17'; }"},
        {"nested arrays, by reference",
         [](VARIANT* v) {
             by_ref_array = make_array(VT_VARIANT, {{2, 1}}, [](SAFEARRAY* a, LONG* at, int n) {
                 VARIANT e;
                 VariantInit(&e);
                 if (n == 0) {
                     e.vt = VT_BOOL;
                     e.boolVal = VARIANT_FALSE;
                 } else {
                     e.vt = VT_ARRAY | VT_VARIANT;
                     e.parray = make_array(VT_VARIANT, {{1, 0}}, [](SAFEARRAY* b, LONG* i, int) {
                         VARIANT x;
                         x.vt = VT_ERROR;
                         x.scode = static_cast<SCODE>(0x800A07FA);
                         SafeArrayPutElement(b, i, &x);
                     });
                 }
                 SafeArrayPutElement(a, at, &e);
                 VariantClear(&e);
             });
             v->vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
             v->pparray = &by_ref_array;
         },
         "array [1+2] {bool false; array [0+1] {error -2146826246; }; }"},
        {"empty array",
         [](VARIANT* v) {
             v->vt = VT_ARRAY | VT_VARIANT;
             v->parray = make_array(VT_VARIANT, {{0, 0}}, [](SAFEARRAY*, LONG*, int) {});
         },
         "array [0+0] {}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unique_variant v;
        c.build(v.get());
        std::string got;
        try {
            got = describe(com::to_value(*v));
        } catch (const Failure& failure) {
            got = "fails " + std::to_string(failure.hresult());
        }
        EXPECT_EQ(got, c.expected);
        if (got.rfind("fails", 0) == 0 || c.expected.rfind("fails", 0) == 0) continue;
        // Back out and in again: the same value (by-reference forms come back as values).
        EXPECT_EQ(describe(com::to_value(*com::to_variant(com::to_value(*v)))), c.expected);
    }
    SysFreeString(by_ref_text);
    SafeArrayDestroy(by_ref_array);
    EXPECT_EQ(plain.refs, 1u) << "the VT_UNKNOWN's reference was given back";
}

TEST(Bridge, ArgumentListOfTheWorksheetMethod) {
    EXPECT_TRUE(com::to_values(nullptr).empty());
    SAFEARRAY* list = make_array(VT_VARIANT, {{3, 0}}, [](SAFEARRAY* a, LONG* at, int n) {
        VARIANT e;
        e.vt = VT_I4;
        e.lVal = n;
        SafeArrayPutElement(a, at, &e);
    });
    const auto values = com::to_values(list);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(describe(values[2]), "long 2");
    SafeArrayDestroy(list);
    SAFEARRAY* grid = make_array(VT_VARIANT, {{1, 0}, {1, 0}}, [](SAFEARRAY*, LONG*, int) {});
    EXPECT_THROW(com::to_values(grid), Failure);
    SafeArrayDestroy(grid);
}

}  // namespace
}  // namespace tb::wine
