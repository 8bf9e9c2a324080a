// The shapes the native benchmark and the harness through the DLL under Wine both time, so that
// their figures compare: column workbooks, their formulas, and a host that answers at no cost.
#pragma once

#include <string>
#include <vector>

#include "core/host/host_object.h"
#include "standin/excel.h"

namespace tb::bench {

enum class Kind { Text, Numbers, MostlyEmpty, WholeColumn, ServerShare, StoreAndRead };
struct Shape {
    const char* name;
    Kind kind;
    std::vector<std::uint32_t> sizes;
};
inline const Shape shapes[] = {
    {"ServerShare", Kind::ServerShare, {1000, 10000, 100000}},
    {"TextCells", Kind::Text, {1, 1000, 10000, 30000}},
    {"NumberCells", Kind::Numbers, {1, 1000, 10000, 30000}},
    {"MostlyEmptyCells", Kind::MostlyEmpty, {1000, 10000, 100000, 1000000}},
    {"WholeColumn", Kind::WholeColumn, {1000, 10000, 100000}},
    {"StoreAndRead", Kind::StoreAndRead, {1000, 100000, 1000000}},
};

// A host whose column of n cells all hold "t" and whose every evaluation answers 1; it hands out
// eight fixed objects ([0] the Application, [3] the column). What remains is the server's time.
class FreeHost final : public HostObject {
  public:
    enum Role { Application, Workbooks, Sheet, Range, Rows, Columns, Cell, Areas };
    FreeHost(Role role, FreeHost* all, double cells) : role_(role), all_(all), cells_(cells) {}
    static std::vector<FreeHost> all(double cells) {
        std::vector<FreeHost> objects;
        objects.reserve(8);
        for (int role = 0; role < 8; ++role)
            objects.emplace_back(static_cast<Role>(role), objects.data(), cells);
        return objects;
    }
    void add_ref() noexcept override {}
    void release() noexcept override {}
    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value>) override {
        auto is = [&](std::u16string_view name) { return iequals(member, name); };
        auto object = [&](Role r) { return Value::object(ObjectRef::share(&all_[r])); };
        if (is(u"Evaluate")) return Value::number(1);
        if (is(u"Workbooks")) return object(Workbooks);
        if (is(u"Item")) return object(role_ == Areas ? Range : Sheet);
        if (is(u"Worksheets") || is(u"Worksheet")) return object(Sheet);
        if (is(u"Areas")) return object(Areas);
        if (is(u"Count") || is(u"CountLarge"))
            return Value::number(role_ == Workbooks || role_ == Columns || role_ == Areas ? 1
                                                                                          : cells_);
        if (is(u"Cells")) return object(role_ == Range ? Cell : Range);
        if (is(u"Rows")) return object(Rows);
        if (is(u"Columns")) return object(Columns);
        if (is(u"UsedRange") || is(u"Intersect")) return object(Range);
        if (is(u"Value2") || is(u"Text") || (member.empty() && role_ == Cell))
            return Value::string(u"t");
        if (member.empty()) return Value();
        fail(hr::unknown_name, "unknown member");
    }
    ObjectRef query(const Guid&) override { return ObjectRef::share(this); }
    std::uint32_t connect_events(const Guid&, EventSink&) override { return 1; }
    void disconnect_events(std::uint32_t) override {}

  private:
    Role role_;
    FreeHost* all_;
    double cells_;
};

// One column of n rows: one-character texts, one-digit numbers, or (mostly empty) one text in
// every 100 rows and in the last.
inline standin::WorkbookData column_book(Kind kind, std::uint32_t n) {
    standin::WorkbookData data;
    auto& sheet = data.sheets.emplace_back();
    sheet.name = u"Sheet1";
    for (std::uint32_t r = 1; r <= n; ++r) {
        if (kind == Kind::Numbers || kind == Kind::StoreAndRead)
            sheet.set(r, 1, Value::number(r % 10));
        else if (kind == Kind::Text || r % 100 == 0 || r == n)
            sheet.set(r, 1, Value::string(u"t"));
    }
    return data;
}

// One shape at one size: `host()` is the Application to connect TEXTBRAID to, `once(call)` runs
// the shape once with TEXTBRAID called through `call(args)`. Texts and numbers are joined without
// a delimiter (so that 30,000 fit in a cell), the stand-in's storage stores n numbers and reads
// each once.
class Case {
  public:
    Case(const Shape& shape, std::uint32_t n) : kind_(shape.kind), n_(n), free_(FreeHost::all(n)) {
        if (kind_ != Kind::ServerShare && kind_ != Kind::StoreAndRead)
            excel_.open(column_book(kind_, n));
        const std::u16string range = u"A1:A" + utf16(std::to_string(n)) + u")";
        formula_ = kind_ == Kind::WholeColumn   ? u"TEXTBRAID(\",\", TRUE, FALSE, A:A)"
                   : kind_ == Kind::MostlyEmpty ? u"TEXTBRAID(\",\", TRUE, FALSE, " + range
                                                : u"TEXTBRAID(\"\", TRUE, FALSE, " + range;
    }
    ObjectRef host() {
        return kind_ == Kind::ServerShare ? ObjectRef::share(&free_[0]) : excel_.application();
    }
    template <class Call>
    void once(Call& call) {
        if (kind_ == Kind::ServerShare) {
            const Value args[] = {Value::string(u""), Value::boolean(true), Value::boolean(false),
                                  Value::object(ObjectRef::share(&free_[3]))};
            call(std::span<const Value>(args));
        } else if (kind_ == Kind::StoreAndRead) {
            standin::Excel excel;
            excel.open(column_book(kind_, n_));
            excel.evaluate(u"SUM(A:A)");
        } else {
            excel_.evaluate(formula_,
                            [&](std::u16string_view, std::span<const Value> a, Value& out) {
                                out = call(a);
                                return true;
                            });
        }
    }

  private:
    Kind kind_;
    std::uint32_t n_;
    std::vector<FreeHost> free_;
    standin::Excel excel_;
    std::u16string formula_;
};

}  // namespace tb::bench
