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
            case Fill::Text: sheet.set(r, 1, Value::string(u"t")); break;
            case Fill::Numbers: sheet.set(r, 1, Value::number(r % 10)); break;
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
    state.counters["per_cell"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                    benchmark::Counter::kInvert);
    OnDisconnection();
}

void BM_TextCells(benchmark::State& state) { run(state, Fill::Text); }
void BM_NumberCells(benchmark::State& state) { run(state, Fill::Numbers); }
void BM_MostlyEmptyCells(benchmark::State& state) { run(state, Fill::MostlyEmpty); }

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
    state.counters["per_cell"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                    benchmark::Counter::kInvert);
}

BENCHMARK(BM_TextCells)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NumberCells)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MostlyEmptyCells)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainJoin)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();
