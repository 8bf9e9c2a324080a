// TEXTBRAID natively over the shared shapes: through the stand-in Excel, against a host that
// costs nothing (the server's own share), and the stand-in's own cell storage.
#include <benchmark/benchmark.h>

#include "core/host/connection.h"
#include "core/worksheet/textbraid.h"
#include "tests/bench/bench_shapes.h"

int main(int argc, char** argv) {
    using namespace tb;
    for (const bench::Shape& shape : bench::shapes) {
        auto* b = benchmark::RegisterBenchmark(
            (std::string("BM_") + shape.name).c_str(), [&shape](benchmark::State& state) {
                const auto n = static_cast<std::uint32_t>(state.range(0));
                bench::Case c(shape, n);
                OnConnection(c.host(), nullptr);
                TEXTBRAID function(nullptr);
                auto call = [&](std::span<const Value> args) { return function(args); };
                for (auto _ : state)
                    c.once(call);
                OnDisconnection();
            });
        for (std::uint32_t n : shape.sizes)
            b->Arg(n);
        if (shape.kind != bench::Kind::ServerShare) b->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
