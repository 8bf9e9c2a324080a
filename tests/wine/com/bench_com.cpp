// Timings of TEXTBRAID through the real DLL under Wine (the stand-in Excel served over COM, the
// add-in connected through IDTExtensibility2, the function called through IDispatch::Invoke)
// next to the same worksheet code called in-process (same compiler, same Wine), and the
// stand-in's cell storage as built for Windows. Prints JSON shaped like Google Benchmark's.
//
//   textbraid_com_bench [--quick] [--min-time=SECONDS] [--filter=SUBSTRING]
//
// --quick runs tiny sizes once each (a smoke run); times are wall time per call (steady clock)
// and this thread's CPU time (GetThreadTimes).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/com/bridge.h"
#include "server/com/textbraid_h.h"
#include "server/host/connection.h"
#include "server/worksheet/textbraid.h"
#include "standin/excel.h"
#include "tests/bench/bench_shapes.h"
#include "tests/wine/com/standin_dispatch.h"
#include "tests/wine/com/support.h"

namespace tb::wine {
namespace {

using bench::Fill;
using com::com_ptr;
using Call = std::function<Value(std::span<const Value>)>;

// TEXTBRAID as the DLL serves it, connected to an Application over COM; Excel's way of calling.
class ComFunction {
  public:
    explicit ComFunction(IDispatch* application) {
        CLSID clsid{};
        CLSIDFromProgID(L"kzTEXTBRAID.ConnectExcel", &clsid);
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDTExtensibility2,
                         connect_.put_void());
        CLSIDFromProgID(L"kzTEXTBRAID.TEXTBRAID", &clsid);
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, function_.put_void());
        if (!connect_ || !function_) fail(hr::fail, "the DLL's classes cannot be created");
        LPOLESTR name = const_cast<LPOLESTR>(L"TEXTBRAID");
        function_->GetIDsOfNames(IID_NULL, &name, 1, 1033, &dispid_);
        SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
        connect_->OnConnection(application, ext_cm_AfterStartup, nullptr, &custom);
        SafeArrayDestroy(custom);
    }
    ~ComFunction() {
        SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
        connect_->OnDisconnection(ext_dm_UserClosed, &custom);
        SafeArrayDestroy(custom);
    }
    Value operator()(std::span<const Value> args) {
        std::vector<com::unique_variant> reversed(args.size());
        for (std::size_t i = 0; i < args.size(); ++i)
            com::to_variant(args[i], reversed[args.size() - 1 - i].get());
        DISPPARAMS params{reversed.empty() ? nullptr : reversed.front().get(), nullptr,
                          static_cast<UINT>(reversed.size()), 0};
        com::unique_variant answer;
        const HRESULT hr =
            function_->Invoke(dispid_, IID_NULL, 1033, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                              &params, answer.get(), nullptr, nullptr);
        if (FAILED(hr)) fail(hr, "Invoke failed");
        return com::to_value(*answer);
    }

  private:
    com_ptr<IDTExtensibility2> connect_;
    com_ptr<IDispatch> function_;
    DISPID dispid_ = 0;
};

struct Options {
    double min_time = 0.5;
    bool quick = false;
    std::string filter;
};

double thread_cpu_seconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) *
               1e-7;
    };
    return seconds(kernel) + seconds(user);
}

// Runs body once to warm up, then until min_time has passed; prints the mean per call.
void run(const Options& options, const std::string& name, double cells,
         const std::function<void()>& body) {
    static const char* separator = "";
    if (!options.filter.empty() && name.find(options.filter) == std::string::npos) return;
    body();
    std::uint64_t iterations = 0;
    const double cpu_start = thread_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    do {
        body();
        ++iterations;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (!options.quick && elapsed < options.min_time);
    const double n = static_cast<double>(iterations);
    std::printf(
        "%s    {\"name\": \"%s\", \"iterations\": %llu, \"real_time\": %.9g, "
        "\"cpu_time\": %.9g, \"time_unit\": \"ms\", \"cells\": %.9g}",
        separator, name.c_str(), static_cast<unsigned long long>(iterations), elapsed / n * 1e3,
        (thread_cpu_seconds() - cpu_start) / n * 1e3, cells);
    separator = ",\n";
    std::fprintf(stderr, "%-36s %10.3f ms/call %8.3f us/cell\n", name.c_str(), elapsed / n * 1e3,
                 elapsed / n / cells * 1e6);
}

// Times `formula` over `book` through the stand-in's evaluator, with TEXTBRAID over COM (COM_)
// and in-process (WineDirect_); with no formula, the server's share against the free host.
void both_paths(const Options& options, const std::string& name, double cells,
                standin::WorkbookData book, const std::u16string& formula) {
    for (const bool over_com : {true, false}) {
        standin::Excel excel;
        excel.open(over_com ? standin::WorkbookData(book) : std::move(book));
        std::vector<bench::FreeHost> free = bench::FreeHost::all(cells);
        const ObjectRef application =
            formula.empty() ? ObjectRef::share(&free[0]) : excel.application();
        std::unique_ptr<ComFunction> com;
        std::unique_ptr<TEXTBRAID> direct;
        if (over_com) {
            com_ptr<IDispatch> served = com_ptr<IDispatch>::adopt(dispatch_for(application));
            com = std::make_unique<ComFunction>(served.get());
        } else {
            OnConnection(application, nullptr);
            direct = std::make_unique<TEXTBRAID>(nullptr);
        }
        const Call call = [&](std::span<const Value> args) {
            return com ? (*com)(args) : (*direct)(args);
        };
        const Value args[] = {Value::string(u""), Value::boolean(true), Value::boolean(false),
                              Value::object(ObjectRef::share(&free[3]))};
        auto body = [&] {
            if (formula.empty()) {
                call(args);
            } else {
                excel.evaluate(formula,
                               [&](std::u16string_view, std::span<const Value> a, Value& out) {
                                   out = call(a);
                                   return true;
                               });
            }
        };
        run(options, (over_com ? "COM_" : "WineDirect_") + name, cells, body);
        if (!over_com) OnDisconnection();
    }
}

void run_all(const Options& options) {
    using Sizes = std::vector<std::uint32_t>;
    const Sizes small = options.quick ? Sizes{10, 100} : Sizes{1, 1000, 10000, 30000};
    const Sizes large = options.quick ? Sizes{10, 100} : Sizes{1000, 10000, 100000};
    for (std::uint32_t n : large)
        both_paths(options, "ServerShare/" + std::to_string(n), n, {}, u"");
    for (std::uint32_t n : small) {
        for (auto [fill, name] :
             {std::pair{Fill::Text, "TextCells/"}, std::pair{Fill::Numbers, "NumberCells/"}})
            both_paths(options, name + std::to_string(n), n, bench::column_book(n, fill),
                       bench::column_formula(n, fill));
    }
    for (std::uint32_t n : large) {
        both_paths(options, "MostlyEmptyCells/" + std::to_string(n), n,
                   bench::column_book(n, Fill::MostlyEmpty),
                   bench::column_formula(n, Fill::MostlyEmpty));
        both_paths(options, "WholeColumn/" + std::to_string(n), n,
                   bench::column_book(n, Fill::MostlyEmpty), u"TEXTBRAID(\",\", TRUE, FALSE, A:A)");
        run(options, "WineDirect_StoreAndRead/" + std::to_string(n), n, [n] {
            standin::Excel excel;
            excel.open(bench::column_book(n, Fill::Numbers));
            excel.evaluate(u"SUM(A:A)");
        });
    }
}

}  // namespace
}  // namespace tb::wine

int main(int argc, char** argv) {
    using namespace tb::wine;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg.rfind("--min-time=", 0) == 0) {
            options.min_time = std::atof(arg.c_str() + 11);
        } else if (arg.rfind("--filter=", 0) == 0) {
            options.filter = arg.substr(9);
        } else {
            std::fprintf(stderr,
                         "usage: textbraid_com_bench [--quick] [--min-time=S] [--filter=S]\n");
            return 2;
        }
    }
    CoInitialize(nullptr);
    serve_standin_over_com();
    if (!server().module || server().register_server() != S_OK) {
        std::fprintf(stderr, "TextBraid.dll could not be loaded and registered\n");
        return 1;
    }
    int status = 0;
    std::printf("{\"context\": {\"executable\": \"textbraid_com_bench\"},\n  \"benchmarks\": [\n");
    try {
        run_all(options);
    } catch (const tb::Failure& failure) {
        std::fprintf(stderr, "failed: %s\n", failure.what());
        status = 1;
    }
    std::printf("\n  ]\n}\n");
    server().unregister_server();
    CoUninitialize();
    return status;
}
