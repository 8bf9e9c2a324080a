// TEXTBRAID over columns of growing size on the stand-in Excel, against a host that costs
// nothing (the server's own share), and the stand-in's own cell storage and reads.
#include <benchmark/benchmark.h>

#include "server/host/connection.h"
#include "server/worksheet/textbraid.h"
#include "standin/excel.h"
#include "tests/bench/bench_shapes.h"

namespace {

using namespace tb;
using bench::Fill;

void per_cell(benchmark::State& state, double cells) {
    state.counters["per_cell"] = benchmark::Counter(
        cells, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One formula over a column book; whole_column: A:A with empties skipped (its used range).
void run(benchmark::State& state, Fill fill, bool whole_column = false) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    standin::Excel excel;
    excel.open(bench::column_book(n, fill));
    OnConnection(excel.application(), nullptr);
    TEXTBRAID function(nullptr);
    const std::u16string formula =
        whole_column ? u"TEXTBRAID(\",\", TRUE, FALSE, A:A)" : bench::column_formula(n, fill);
    auto resolver = [&](std::u16string_view, std::span<const Value> args, Value& out) {
        out = function(args);
        return true;
    };
    excel.reset_counts();
    for (auto _ : state)
        benchmark::DoNotOptimize(excel.evaluate(formula, resolver).kind());
    state.counters["host_calls_per_cell"] =
        static_cast<double>(excel.total_calls()) / static_cast<double>(state.iterations()) / n;
    per_cell(state, n);
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
void BM_WholeColumn(benchmark::State& state) {
    run(state, Fill::MostlyEmpty, true);
}

void BM_ServerShare(benchmark::State& state) {
    const auto n = static_cast<double>(state.range(0));
    std::vector<bench::FreeHost> objects = bench::FreeHost::all(n);
    OnConnection(ObjectRef::share(&objects[0]), nullptr);
    TEXTBRAID function(nullptr);
    const Value args[] = {Value::string(u""), Value::boolean(true), Value::boolean(false),
                          Value::object(ObjectRef::share(&objects[3]))};
    for (auto _ : state)
        benchmark::DoNotOptimize(function(args).kind());
    per_cell(state, n);
    OnDisconnection();
}

// The stand-in's cell storage: n numbers stored, then each read once by SUM over the column.
void BM_StoreAndRead(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    for (auto _ : state) {
        standin::Excel excel;
        excel.open(bench::column_book(n, Fill::Numbers));
        benchmark::DoNotOptimize(excel.evaluate(u"SUM(A:A)").kind());
    }
    per_cell(state, n);
}

BENCHMARK(BM_ServerShare)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_TextCells)->Arg(1)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NumberCells)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MostlyEmptyCells)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeColumn)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreAndRead)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
