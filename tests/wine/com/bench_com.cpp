// TEXTBRAID timed under Wine over the native benchmark's shapes: through the real DLL (COM_: the
// stand-in Excel served over COM, the add-in loaded and called as the stand-in Excel application
// does) and in-process (WineDirect_). Prints JSON shaped like Google Benchmark's: wall and this
// thread's CPU time per call after a warm-up; --quick: sizes 10 and 100 once each (a smoke run).
//   textbraid_com_bench [--quick] [--min-time=SECONDS] [--filter=SHAPE]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "core/host/connection.h"
#include "core/worksheet/textbraid.h"
#include "tests/bench/bench_shapes.h"
#include "tests/wine/com/support.h"
#include "tools/winexcel/addins.h"
#include "tools/winexcel/standin_dispatch.h"

namespace tb::wine {
namespace {

// This thread's kernel and user time in 100 ns ticks (whole numbers: no x87 excess precision).
std::uint64_t thread_cpu_ticks() {
    FILETIME t[4];
    GetThreadTimes(GetCurrentThread(), &t[0], &t[1], &t[2], &t[3]);
    auto ticks = [](const FILETIME& f) {
        return std::uint64_t{f.dwHighDateTime} << 32 | f.dwLowDateTime;
    };
    return ticks(t[2]) + ticks(t[3]);
}

void time_case(const bench::Shape& shape, std::uint32_t n, bool over_com, double min_time) {
    static const char* separator = "";
    bench::Case c(shape, n);
    auto served = com::com_ptr<IDispatch>::adopt(dispatch_for(c.host()));
    winexcel::AddinHost addins(served.get(), std::cerr);
    std::unique_ptr<TEXTBRAID> direct;
    if (over_com) {
        addins.connect_com_addins(std::vector<std::wstring>{L"kzTEXTBRAID.ConnectExcel"});
        addins.create_automation_addins(std::vector<std::wstring>{L"kzTEXTBRAID.TEXTBRAID"});
    } else {
        OnConnection(c.host(), nullptr);
        direct = std::make_unique<TEXTBRAID>(nullptr);
    }
    auto call = [&](std::span<const Value> args) {
        Value out;
        if (direct) return (*direct)(args);
        if (!addins.resolve(u"TEXTBRAID", args, out)) fail(hr::fail, "TEXTBRAID is not served");
        return out;
    };
    c.once(call);
    std::uint64_t calls = 0;
    const std::uint64_t cpu_start = thread_cpu_ticks();
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    for (; calls == 0 || elapsed < min_time; ++calls) {
        c.once(call);
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const std::string name =
        (over_com ? "COM_" : "WineDirect_") + std::string(shape.name) + "/" + std::to_string(n);
    const double ms = elapsed / double(calls) * 1e3;
    std::printf(
        "%s    {\"name\": \"%s\", \"iterations\": %llu, \"real_time\": %.9g, "
        "\"cpu_time\": %.9g, \"time_unit\": \"ms\", \"cells\": %u}",
        separator, name.c_str(), static_cast<unsigned long long>(calls), ms,
        double(thread_cpu_ticks() - cpu_start) / double(calls) * 1e-4, n);
    separator = ",\n";
    std::fprintf(stderr, "%-30s %10.3f ms/call %8.3f us/cell\n", name.c_str(), ms, ms * 1e3 / n);
    if (direct) OnDisconnection();
    addins.shutdown();
}

}  // namespace
}  // namespace tb::wine

int main(int argc, char** argv) {
    using namespace tb;
    bool quick = false;
    double min_time = 0.5;
    std::string filter;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick")
            quick = true;
        else if (arg.rfind("--min-time=", 0) == 0)
            min_time = std::atof(arg.c_str() + 11);
        else if (arg.rfind("--filter=", 0) == 0)
            filter = arg.substr(9);
        else {
            std::fputs("usage: textbraid_com_bench [--quick] [--min-time=S] [--filter=S]\n",
                       stderr);
            return 2;
        }
    }
    CoInitialize(nullptr);
    wine::serve_standin_over_com();
    if (!wine::server().module || wine::server().register_server() != S_OK) {
        std::fputs("TextBraid.dll could not be loaded and registered\n", stderr);
        return 1;
    }
    int status = 0;
    std::printf("{\"context\": {\"executable\": \"textbraid_com_bench\"},\n  \"benchmarks\": [\n");
    try {
        for (const bench::Shape& shape : bench::shapes) {
            if (std::string(shape.name).find(filter) == std::string::npos) continue;
            for (std::uint32_t n : quick ? std::vector<std::uint32_t>{10, 100} : shape.sizes) {
                // The stand-in's storage has no COM path: it is timed in-process only.
                if (shape.kind != bench::Kind::StoreAndRead)
                    wine::time_case(shape, n, true, quick ? 0 : min_time);
                wine::time_case(shape, n, false, quick ? 0 : min_time);
            }
        }
    } catch (const Failure& failure) {
        std::fprintf(stderr, "failed: %s\n", failure.what());
        status = 1;
    }
    std::printf("\n  ]\n}\n");
    wine::server().unregister_server();
    CoUninitialize();
    return status;
}
