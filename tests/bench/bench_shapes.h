// What the native benchmark and the harness through the DLL under Wine both time, so that their
// figures compare: the column workbooks and a host that answers every call at no cost.
#pragma once

#include <string>
#include <vector>

#include "server/host/host_object.h"
#include "standin/workbook_data.h"

namespace tb::bench {

enum class Fill { Text, Numbers, MostlyEmpty };

// One column of n rows: one-character texts, one-digit numbers, or one text in every 100 rows
// (and in the last).
inline standin::WorkbookData column_book(std::uint32_t n, Fill fill) {
    standin::WorkbookData book;
    auto& sheet = book.sheets.emplace_back();
    sheet.name = u"Sheet1";
    for (std::uint32_t r = 1; r <= n; ++r) {
        if (fill == Fill::Text) sheet.set(r, 1, Value::string(u"t"));
        if (fill == Fill::Numbers) sheet.set(r, 1, Value::number(r % 10));
        if (fill == Fill::MostlyEmpty && (r % 100 == 0 || r == n))
            sheet.set(r, 1, Value::string(u"t"));
    }
    return book;
}

// The formula timed over a column book: one-character items without a delimiter (so 30,000 of
// them fit in a cell), mostly empty ranges with their empties skipped.
inline std::u16string column_formula(std::uint32_t n, Fill fill) {
    const std::u16string range = u"A1:A" + utf16(std::to_string(n)) + u")";
    return fill == Fill::MostlyEmpty ? u"TEXTBRAID(\",\", TRUE, FALSE, " + range
                                     : u"TEXTBRAID(\"\", TRUE, FALSE, " + range;
}

// A host whose column of n cells all hold "t" and whose every evaluation answers 1; all objects
// it hands out are one of seven fixed ones. What remains of a call's time is the server's own.
class FreeHost final : public HostObject {
  public:
    enum class Role { Application, Workbooks, Sheet, Range, Rows, Columns, Cell };
    FreeHost(Role role, FreeHost* all, double cells) : role_(role), all_(all), cells_(cells) {}

    // The seven objects; [0] is the Application, [3] the column.
    static std::vector<FreeHost> all(double cells) {
        std::vector<FreeHost> objects;
        objects.reserve(7);
        for (int role = 0; role < 7; ++role)
            objects.emplace_back(static_cast<Role>(role), objects.data(), cells);
        return objects;
    }

    void add_ref() noexcept override {}
    void release() noexcept override {}
    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value>) override {
        auto is = [&](std::u16string_view name) { return iequals(member, name); };
        if (is(u"Evaluate")) return Value::number(1);
        if (is(u"Workbooks")) return object(Role::Workbooks);
        if (is(u"Item") || is(u"Worksheets") || is(u"Worksheet")) return object(Role::Sheet);
        if (is(u"Count") || is(u"CountLarge")) {
            return Value::number(role_ == Role::Workbooks || role_ == Role::Columns ? 1 : cells_);
        }
        if (is(u"Cells")) return object(role_ == Role::Range ? Role::Cell : Role::Range);
        if (is(u"Rows")) return object(Role::Rows);
        if (is(u"Columns")) return object(Role::Columns);
        if (is(u"UsedRange") || is(u"Intersect")) return object(Role::Range);
        if (is(u"Value2") || is(u"Text")) return Value::string(u"t");
        if (member.empty()) return role_ == Role::Cell ? Value::string(u"t") : Value();
        fail(hr::unknown_name, "unknown member");
    }
    ObjectRef query(const Guid&) override { return ObjectRef::share(this); }
    std::uint32_t connect_events(const Guid&, EventSink&) override { return 1; }
    void disconnect_events(std::uint32_t) override {}

  private:
    Value object(Role role) const {
        return Value::object(ObjectRef::share(&all_[static_cast<int>(role)]));
    }
    Role role_;
    FreeHost* all_;
    double cells_;
};

}  // namespace tb::bench
