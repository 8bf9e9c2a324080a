// Timings of TEXTBRAID through the real DLL under Wine: the stand-in Excel served over COM, the
// add-in connected through IDTExtensibility2, the function called through IDispatch::Invoke, and
// next to it the same worksheet code called in-process without COM (same compiler, same Wine).
// Prints JSON shaped like Google Benchmark's --benchmark_format=json so one script plots both.
//
//   textbraid_com_bench [--quick] [--min-time=SECONDS] [--filter=SUBSTRING]
//
// --quick runs tiny sizes once each (a smoke run); timings are wall time per call (steady
// clock) and this thread's CPU time (GetThreadTimes).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "server/com/bridge.h"
#include "server/com/textbraid_h.h"
#include "server/host/connection.h"
#include "server/worksheet/textbraid.h"
#include "standin/excel.h"
#include "tests/wine/com/standin_dispatch.h"
#include "tests/wine/com/support.h"

namespace tb::wine {
namespace {

using com::com_ptr;

// ---- shapes ---------------------------------------------------------------------------------

enum class Fill { Text, Numbers, MostlyEmpty };

// One column of n rows: one-character texts, one-digit numbers, or one text in every 100 rows
// (and in the last), as the native benchmark builds them.
standin::WorkbookData column_book(std::uint32_t n, Fill fill) {
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

// Column A: 32 texts of 1,000 characters and one of `last`; column B: 33 texts of 10.
standin::WorkbookData limit_book(std::uint32_t last) {
    standin::WorkbookData book;
    auto& sheet = book.sheets.emplace_back();
    sheet.name = u"Sheet1";
    for (std::uint32_t r = 1; r <= 32; ++r)
        sheet.set(r, 1, Value::string(std::u16string(1000, u'x')));
    sheet.set(33, 1, Value::string(std::u16string(last, u'y')));
    for (std::uint32_t r = 1; r <= 33; ++r)
        sheet.set(r, 2, Value::string(std::u16string(10, u'z')));
    return book;
}

std::u16string rows(std::uint32_t n) {
    return utf16(std::to_string(n));
}

// ---- the two ways of calling the function ----------------------------------------------------

class Caller {
  public:
    virtual ~Caller() = default;
    virtual Value call(std::span<const Value> args) = 0;
};

// The DLL, created by ProgID and connected to an Application over COM.
class ComCaller final : public Caller {
  public:
    explicit ComCaller(IDispatch* application) {
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
    ~ComCaller() override {
        SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
        connect_->OnDisconnection(ext_dm_UserClosed, &custom);
        SafeArrayDestroy(custom);
    }
    Value call(std::span<const Value> args) override {
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

// The same worksheet code linked into this program, called with no COM in between.
class DirectCaller final : public Caller {
  public:
    explicit DirectCaller(const ObjectRef& application) : function_(nullptr) {
        OnConnection(application, nullptr);
    }
    ~DirectCaller() override { OnDisconnection(); }
    Value call(std::span<const Value> args) override { return function_(args); }

  private:
    TEXTBRAID function_;
};

// ---- a host that answers at no cost ----------------------------------------------------------

// One column of n cells that all hold "t", every evaluation answering 1, every object handed out
// being one of seven fixed objects; as the native benchmark's, with member names compared
// without letter case as they arrive over COM.
class FreeHost final : public HostObject {
  public:
    enum class Role { Application, Workbooks, Sheet, Range, Rows, Columns, Cell };
    FreeHost(Role role, FreeHost* all, double cells) : role_(role), all_(all), cells_(cells) {}

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

// ---- timing ---------------------------------------------------------------------------------

struct Options {
    double min_time = 0.5;
    bool quick = false;
    std::string filter;
};

double thread_cpu_seconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) *
               1e-7;
    };
    return seconds(kernel) + seconds(user);
}

std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

class Report {
  public:
    explicit Report(Options options) : options_(std::move(options)) {}

    bool wanted(const std::string& name) const {
        return options_.filter.empty() || name.find(options_.filter) != std::string::npos;
    }

    // Calls body once to warm up, then repeatedly until min_time has passed; records the mean
    // per call in milliseconds, with counters from counters(iterations).
    void run(const std::string& name, double cells, const std::function<void()>& body,
             const std::function<std::vector<std::pair<std::string, double>>()>& counters) {
        body();
        std::uint64_t iterations = 0;
        const double cpu_start = thread_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        double elapsed = 0;
        do {
            body();
            ++iterations;
            elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } while (!options_.quick && elapsed < options_.min_time);
        const double cpu = thread_cpu_seconds() - cpu_start;
        const double n = static_cast<double>(iterations);
        std::string entry =
            "    {\"name\": \"" + escaped(name) + "\", \"run_name\": \"" + escaped(name) +
            "\", \"run_type\": \"iteration\", \"iterations\": " + std::to_string(iterations) +
            ", \"real_time\": " + number(elapsed / n * 1e3) +
            ", \"cpu_time\": " + number(cpu / n * 1e3) +
            ", \"time_unit\": \"ms\", \"cells\": " + number(cells) +
            ", \"per_cell\": " + number(elapsed / n / cells);
        for (const auto& [key, value] : counters())
            entry += ", \"" + key + "\": " + number(value);
        entry += "}";
        entries_.push_back(entry);
        std::fprintf(stderr, "%-40s %10.3f ms/call %8.3f us/cell\n", name.c_str(),
                     elapsed / n * 1e3, elapsed / n / cells * 1e6);
    }

    void print() const {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        std::printf(
            "{\n  \"context\": {\"executable\": \"textbraid_com_bench\", \"num_cpus\": %lu, "
            "\"library_build_type\": \"release\", \"host\": \"Wine, TextBraid.dll over "
            "COM\"},\n  \"benchmarks\": [\n",
            static_cast<unsigned long>(info.dwNumberOfProcessors));
        for (std::size_t i = 0; i < entries_.size(); ++i)
            std::printf("%s%s\n", entries_[i].c_str(), i + 1 < entries_.size() ? "," : "");
        std::printf("  ]\n}\n");
    }

  private:
    static std::string number(double v) {
        char text[64];
        std::snprintf(text, sizeof text, "%.9g", v);
        return text;
    }
    Options options_;
    std::vector<std::string> entries_;
};

// ---- benchmarks -----------------------------------------------------------------------------

enum class Path { Com, Direct };

const char* prefix(Path path) {
    return path == Path::Com ? "COM_" : "WineDirect_";
}

// One formula over a workbook through the stand-in Excel's evaluator, TEXTBRAID called by path.
void formula_bench(Report& report, Path path, const std::string& name, double cells,
                   standin::WorkbookData book, const std::u16string& formula) {
    const std::string full = prefix(path) + name;
    if (!report.wanted(full)) return;
    standin::Excel excel;
    excel.open(std::move(book));
    std::unique_ptr<Caller> caller;
    com_ptr<IDispatch> application;
    if (path == Path::Com) {
        application = com_ptr<IDispatch>::adopt(dispatch_for(excel.application()));
        caller = std::make_unique<ComCaller>(application.get());
    } else {
        caller = std::make_unique<DirectCaller>(excel.application());
    }
    auto resolver = [&](std::u16string_view, std::span<const Value> args, Value& out) {
        out = caller->call(args);
        return true;
    };
    std::size_t length = 0;
    std::uint64_t calls = 0, runs = 0;
    auto body = [&] {
        excel.reset_counts();
        const Value result = excel.evaluate(formula, resolver);
        length = result.is_string() ? result.string_value().size() : 0;
        calls += excel.total_calls();
        ++runs;
    };
    report.run(full, cells, body, [&] {
        return std::vector<std::pair<std::string, double>>{
            {"result_chars", static_cast<double>(length)},
            {"host_calls_per_cell",
             static_cast<double>(calls) / static_cast<double>(runs) / cells}};
    });
}

// TEXTBRAID("", TRUE, FALSE, range) against the free host, over COM or directly.
void server_share_bench(Report& report, Path path, std::uint32_t n) {
    const std::string full = std::string(prefix(path)) + "ServerShare/" + std::to_string(n);
    if (!report.wanted(full)) return;
    std::vector<FreeHost> objects;
    objects.reserve(7);
    for (int role = 0; role < 7; ++role)
        objects.emplace_back(static_cast<FreeHost::Role>(role), objects.data(),
                             static_cast<double>(n));
    std::unique_ptr<Caller> caller;
    com_ptr<IDispatch> application;
    if (path == Path::Com) {
        application = com_ptr<IDispatch>::adopt(dispatch_for(ObjectRef::share(&objects[0])));
        caller = std::make_unique<ComCaller>(application.get());
    } else {
        caller = std::make_unique<DirectCaller>(ObjectRef::share(&objects[0]));
    }
    const Value args[] = {Value::string(u""), Value::boolean(true), Value::boolean(false),
                          Value::object(ObjectRef::share(&objects[3]))};
    std::size_t length = 0;
    report.run(
        full, n,
        [&] {
            const Value result = caller->call(args);
            length = result.is_string() ? result.string_value().size() : 0;
        },
        [&] {
            return std::vector<std::pair<std::string, double>>{
                {"result_chars", static_cast<double>(length)}};
        });
}

void run_all(Report& report, bool quick) {
    const std::vector<std::uint32_t> small = quick ? std::vector<std::uint32_t>{10, 100}
                                                   : std::vector<std::uint32_t>{1000, 10000, 30000};
    const std::vector<std::uint32_t> large = quick
                                                 ? std::vector<std::uint32_t>{10, 100}
                                                 : std::vector<std::uint32_t>{1000, 10000, 100000};
    for (Path path : {Path::Com, Path::Direct}) {
        for (std::uint32_t n : large)
            server_share_bench(report, path, n);
        // Texts and numbers with the empty delimiter: 30,000 one-character items at most, since
        // a longer result would not fit in a cell.
        for (std::uint32_t n : small) {
            const std::u16string formula = u"TEXTBRAID(\"\", TRUE, FALSE, A1:A" + rows(n) + u")";
            formula_bench(report, path, "TextCells/" + std::to_string(n), n,
                          column_book(n, Fill::Text), formula);
            formula_bench(report, path, "NumberCells/" + std::to_string(n), n,
                          column_book(n, Fill::Numbers), formula);
        }
        // Ranges of 1,000 to 100,000 cells that fit: one text in a hundred, empties skipped.
        for (std::uint32_t n : large) {
            formula_bench(report, path, "MostlyEmptyCells/" + std::to_string(n), n,
                          column_book(n, Fill::MostlyEmpty),
                          u"TEXTBRAID(\",\", TRUE, FALSE, A1:A" + rows(n) + u")");
            // A whole column: only the used range (n rows) is walked.
            formula_bench(report, path, "WholeColumn/" + std::to_string(n), n,
                          column_book(n, Fill::MostlyEmpty), u"TEXTBRAID(\",\", TRUE, FALSE, A:A)");
        }
        // The limit probe near 32,767 characters: 33 items whose join is 330 characters (far),
        // exactly 32,767 (under: it fits) or 32,768 (over: the limit message).
        const std::u16string a = u"TEXTBRAID(\"\", TRUE, FALSE, A1:A33)";
        formula_bench(report, path, "LimitProbe/far", 33, limit_book(767),
                      u"TEXTBRAID(\"\", TRUE, FALSE, B1:B33)");
        formula_bench(report, path, "LimitProbe/under", 33, limit_book(767), a);
        formula_bench(report, path, "LimitProbe/over", 33, limit_book(768), a);
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
    {
        Report report(options);
        try {
            run_all(report, options.quick);
        } catch (const tb::Failure& failure) {
            std::fprintf(stderr, "failed: %s\n", failure.what());
            status = 1;
        }
        report.print();
    }
    server().unregister_server();
    CoUninitialize();
    return status;
}
