// xlstandin: a stand-in Excel application for Windows. It loads add-ins the way Excel does at
// start-up (Automation add-ins from the current user's OPEN chain, COM add-ins with LoadBehavior
// 3, connected through IDTExtensibility2 with its Application object), opens a workbook with
// the stand-in object model (or a new blank one, as Excel starts), and evaluates formulas,
// calling functions it does not know on the Automation add-ins through IDispatch as Excel does.
// Its command line, output and exit statuses are those of the native `textbraid` command
// (tools/command_line.cpp), so both can be run on the same cases and compared; --disconnected
// starts without the COM add-ins. Exit status 3 is its own: at shutdown an add-in kept objects
// of the application or its own server alive.
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "server/com/bridge.h"
#include "standin/excel.h"
#include "tools/command_line.h"
#include "tools/output.h"
#include "tools/session.h"
#include "tools/winexcel/addins.h"
#include "tools/winexcel/box_capture.h"
#include "tools/winexcel/standin_dispatch.h"

namespace {

using namespace tb;
using tools::Options;
using tools::UsageError;

constexpr int kLeak = 3;

// The process's arguments as UTF-8, whatever the ANSI code page.
std::vector<std::string> utf8_arguments() {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return args;
    for (int i = 0; i < count; ++i) {
        const std::wstring_view w(wide[i]);
        args.push_back(utf8(std::u16string(w.begin(), w.end())));
    }
    LocalFree(wide);
    return args;
}

// One run of the application: COM, the stand-in Excel served over COM, the add-ins, and the
// checks at shutdown.
class Application {
  public:
    explicit Application(standin::Profile profile) : excel_(profile) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        wine::serve_standin_over_com();
        IDispatch* application = wine::dispatch_for(excel_.application());
        host_.emplace(application, std::cerr);
        application->Release();
    }
    ~Application() {
        host_.reset();
        CoUninitialize();
    }
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    void start(bool com_addins) {
        const winexcel::AddinListing listing = winexcel::read_listing();
        winexcel::trace("options " +
                        utf8(std::u16string(listing.version.begin(), listing.version.end())));
        if (com_addins) host_->connect_com_addins(listing.com);
        host_->create_automation_addins(listing.automation);
    }
    void startup_complete() { host_->startup_complete(); }

    standin::Excel& excel() { return excel_; }

    // Functions the stand-in does not know, called on the Automation add-ins.
    standin::FunctionResolver resolver() {
        return [this](std::u16string_view name, std::span<const Value> args, Value& result) {
            return host_->resolve(name, args, result);
        };
    }
    std::vector<tools::BoxShown> take_boxes() { return boxes_.take(); }

    // Shuts the add-ins down; false when anything they were handed, or their servers, is
    // still alive afterwards.
    bool shutdown() {
        excel_.end_recalculation();
        host_->shutdown();
        const std::int64_t objects = excel_.live_objects();
        const std::int64_t wrappers = wine::live_dispatch_objects();
        const std::vector<std::wstring> busy = host_->servers_still_in_use();
        winexcel::trace("events WorkbookOpen " +
                        std::to_string(excel_.events_raised(u"WorkbookOpen")) + " NewWorkbook " +
                        std::to_string(excel_.events_raised(u"NewWorkbook")) + " delivered " +
                        std::to_string(wine::events_delivered()));
        winexcel::trace("alive " + std::to_string(objects) + " " + std::to_string(wrappers) +
                        " servers " + std::to_string(busy.size()));
        bool clean = true;
        if (objects != 0 || wrappers != 0) {
            std::cerr << "xlstandin: at shutdown " << objects << " stand-in objects and "
                      << wrappers << " of their COM wrappers are still alive\n";
            clean = false;
        }
        for (const std::wstring& progid : busy) {
            std::cerr << "xlstandin: at shutdown the server of "
                      << utf8(std::u16string(progid.begin(), progid.end()))
                      << " still holds objects (DllCanUnloadNow)\n";
            clean = false;
        }
        CoFreeUnusedLibrariesEx(0, 0);
        return clean;
    }

  private:
    standin::Excel excel_;
    winexcel::BoxCapture boxes_;
    std::optional<winexcel::AddinHost> host_;
};

int run(const Options& options) {
    // The workbook and the formulas are read before anything starts, so bad ones end the run
    // quietly.
    tools::Input input = tools::read_input(options, std::cin);
    Application app(options.legacy ? standin::Profile::Legacy : standin::Profile::Modern);
    app.start(!options.disconnected);
    tools::open_input(app.excel(), input);
    app.startup_complete();
    int status = tools::kEvaluated;
    {
        tools::Session session(
            app.excel(), "xlstandin", app.resolver(), [&app] { return app.take_boxes(); },
            std::cout, std::cerr);
        status = options.command == "eval" ? session.eval(input.formulas, options.json)
                                           : session.calc(options.json);
    }
    std::cout.flush();
    return app.shutdown() ? status : kLeak;
}

}  // namespace

int main() {
    // Bytes out as they are: UTF-8, and "\n" without a carriage return, as the native command.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);  // a workbook read from standard input
    // The C runtime leaves standard output unbuffered on any character device, where every
    // byte became a write of its own. Unless it is a console, where results should show as they
    // come, they are written in blocks, as the native command's are, and flushed before the
    // checks at shutdown.
    DWORD console_mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &console_mode))
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    try {
        const Options options = tools::parse_command_line(utf8_arguments());
        if (options.command == "help") {
            std::cout << tools::help("xlstandin");
            return tools::kEvaluated;
        }
        if (options.command == "version") {
            std::cout << tools::version_line("xlstandin") << "\n";
            return tools::kEvaluated;
        }
        return run(options);
    } catch (const UsageError& e) {
        std::cerr << "xlstandin: " << e.what() << "\n" << tools::usage_hint("xlstandin") << "\n";
        return tools::kBadInput;
    } catch (const std::exception& e) {
        std::cerr << "xlstandin: " << e.what() << "\n";
        return tools::kBadInput;
    }
}
