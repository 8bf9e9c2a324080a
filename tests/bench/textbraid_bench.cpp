// TEXTBRAID over ranges of growing size on the stand-in Excel, next to a plain C++ join of the
// same strings (the floor). Counters: host calls per cell read and per text joined.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "server/host/connection.h"
#include "server/worksheet/textbraid.h"
#include "standin/excel.h"

namespace {

using namespace tb;

enum class Fill { Text, Numbers, MostlyEmpty };

// One column of n rows: one-character texts, one-digit numbers, or one text in every 100 rows.
standin::WorkbookData column_book(std::uint32_t n, Fill fill) {
    standin::WorkbookData book;
    auto& sheet = book.sheets.emplace_back();
    sheet.name = u"Sheet1";
    for (std::uint32_t r = 1; r <= n; ++r) {
        switch (fill) {
            case Fill::Text:
                sheet.set(r, 1, Value::string(u"t"));
                break;
            case Fill::Numbers:
                sheet.set(r, 1, Value::number(r % 10));
                break;
            case Fill::MostlyEmpty:
                if (r % 100 == 0 || r == n) sheet.set(r, 1, Value::string(u"t"));
                break;
        }
    }
    return book;
}

std::u16string formula_for(std::uint32_t n, Fill fill) {
    // One-character items with no delimiter keep the result within the cell limit for
    // 32,767 items; mostly empty ranges skip their empty cells.
    const std::u16string range = u"A1:A" + utf16(std::to_string(n));
    if (fill == Fill::MostlyEmpty) return u"TEXTBRAID(\",\", TRUE, FALSE, " + range + u")";
    return u"TEXTBRAID(\"\", TRUE, FALSE, " + range + u")";
}

void run(benchmark::State& state, Fill fill) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    standin::Excel excel;
    excel.open(column_book(n, fill));
    OnConnection(excel.application(), nullptr);
    TEXTBRAID function(nullptr);
    const std::u16string formula = formula_for(n, fill);
    auto resolver = [&](std::u16string_view, std::span<const Value> args, Value& out) {
        out = function(args);
        return true;
    };
    std::size_t length = 0;
    excel.reset_counts();
    for (auto _ : state) {
        const Value result = excel.evaluate(formula, resolver);
        length = result.is_string() ? result.string_value().size() : 0;
        benchmark::DoNotOptimize(length);
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["cells"] = n;
    state.counters["result_chars"] = static_cast<double>(length);
    state.counters["host_calls_per_cell"] =
        static_cast<double>(excel.total_calls()) / iterations / static_cast<double>(n);
    state.counters["per_cell"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
    OnDisconnection();
}

void BM_TextCells(benchmark::State& state) {
    run(state, Fill::Text);
}
void BM_NumberCells(benchmark::State& state) {
    run(state, Fill::Numbers);
}
void BM_MostlyEmptyCells(benchmark::State& state) {
    run(state, Fill::MostlyEmpty);
}

// A whole-column reference with ignore_empty TRUE over a mostly empty used range of n rows:
// only the used range is walked.
void BM_WholeColumn(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    standin::Excel excel;
    excel.open(column_book(n, Fill::MostlyEmpty));
    OnConnection(excel.application(), nullptr);
    TEXTBRAID function(nullptr);
    auto resolver = [&](std::u16string_view, std::span<const Value> args, Value& out) {
        out = function(args);
        return true;
    };
    excel.reset_counts();
    for (auto _ : state) {
        const Value result = excel.evaluate(u"TEXTBRAID(\",\", TRUE, FALSE, A:A)", resolver);
        benchmark::DoNotOptimize(result.kind());
    }
    state.counters["cells"] = n;
    state.counters["host_calls_per_cell"] = static_cast<double>(excel.total_calls()) /
                                            static_cast<double>(state.iterations()) /
                                            static_cast<double>(n);
    state.counters["per_cell"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
    OnDisconnection();
}

// The limit probe near 32,767 characters: 33 items whose join is 330 characters (0: far),
// exactly 32,767 (1: under, it fits) or 32,768 (2: over, the limit message).
void BM_LimitProbe(benchmark::State& state) {
    const auto shape = state.range(0);
    standin::WorkbookData book;
    auto& sheet = book.sheets.emplace_back();
    sheet.name = u"Sheet1";
    for (std::uint32_t r = 1; r <= 32; ++r)
        sheet.set(r, 1, Value::string(std::u16string(1000, u'x')));
    sheet.set(33, 1, Value::string(std::u16string(shape == 2 ? 768 : 767, u'y')));
    for (std::uint32_t r = 1; r <= 33; ++r)
        sheet.set(r, 2, Value::string(std::u16string(10, u'z')));
    standin::Excel excel;
    excel.open(std::move(book));
    OnConnection(excel.application(), nullptr);
    TEXTBRAID function(nullptr);
    auto resolver = [&](std::u16string_view, std::span<const Value> args, Value& out) {
        out = function(args);
        return true;
    };
    const std::u16string formula = shape == 0 ? u"TEXTBRAID(\"\", TRUE, FALSE, B1:B33)"
                                              : u"TEXTBRAID(\"\", TRUE, FALSE, A1:A33)";
    std::size_t length = 0;
    for (auto _ : state) {
        const Value result = excel.evaluate(formula, resolver);
        length = result.is_string() ? result.string_value().size() : 0;
        benchmark::DoNotOptimize(length);
    }
    state.counters["cells"] = 33;
    state.counters["result_chars"] = static_cast<double>(length);
    OnDisconnection();
}

// The floor: joining the same strings in plain C++.
void BM_PlainJoin(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<std::u16string> texts(n, u"t");
    for (auto _ : state) {
        std::u16string joined;
        for (const auto& text : texts) {
            joined += u",";
            joined += text;
        }
        benchmark::DoNotOptimize(joined.data());
    }
    state.counters["per_cell"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

// A host that answers every call at no cost: one column of n cells that all hold "t", every
// evaluation answering 1. What remains is the server's own share of the time.
class FreeHost final : public HostObject {
  public:
    enum class Role { Application, Workbooks, Sheet, Range, Rows, Columns, Cell };
    FreeHost(Role role, FreeHost* all, double cells) : role_(role), all_(all), cells_(cells) {}

    void add_ref() noexcept override {}
    void release() noexcept override {}
    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value>) override {
        if (member == u"Evaluate") return Value::number(1);
        if (member == u"Workbooks") return object(Role::Workbooks);
        if (member == u"Item" || member == u"Worksheets" || member == u"Worksheet") {
            return object(Role::Sheet);
        }
        if (member == u"Count" || member == u"Countlarge") {
            return Value::number(role_ == Role::Workbooks ? 1
                                 : role_ == Role::Columns ? 1
                                                          : cells_);
        }
        if (member == u"Cells") return object(role_ == Role::Range ? Role::Cell : Role::Range);
        if (member == u"Rows") return object(Role::Rows);
        if (member == u"Columns") return object(Role::Columns);
        if (member == u"UsedRange" || member == u"Intersect") return object(Role::Range);
        if (member == u"Value2" || member == u"Text") return Value::string(u"t");
        if (member.empty()) return role_ == Role::Cell ? Value::string(u"t") : block_;
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
    Value block_ = Value::array(Array::grid(2, 1, {Value(), Value()}));
};

// Every cell read through Range.Cells(r, c) answers the same cell object; Range.Cells on a
// range answers the range itself, so the walk sees an n x 1 block.
void BM_ServerShare(benchmark::State& state) {
    const auto n = static_cast<double>(state.range(0));
    std::vector<FreeHost> objects;
    objects.reserve(7);
    for (int role = 0; role < 7; ++role) {
        objects.emplace_back(static_cast<FreeHost::Role>(role), objects.data(), n);
    }
    OnConnection(ObjectRef::share(&objects[0]), nullptr);
    TEXTBRAID function(nullptr);
    const Value args[] = {Value::string(u""), Value::boolean(true), Value::boolean(false),
                          Value::object(ObjectRef::share(&objects[3]))};
    for (auto _ : state) {
        const Value result = function(args);
        benchmark::DoNotOptimize(result.kind());
    }
    state.counters["per_cell"] = benchmark::Counter(
        n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    OnDisconnection();
}

BENCHMARK(BM_ServerShare)->Arg(1000)->Arg(10000)->Arg(30000)->Arg(100000);
BENCHMARK(BM_TextCells)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NumberCells)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MostlyEmptyCells)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeColumn)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LimitProbe)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainJoin)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();
