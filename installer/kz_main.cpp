#include "installer/kz_main.h"

#include <array>
#include <vector>

#include "installer/kz_install.h"
#include "installer/reg_value.h"

namespace kzMain {

namespace {

using SetupRoutine = kzInstall::Report (*)(const std::u16string&, bool,
                                           const kzInstall::ShellFactory&);

struct Application {
    std::u16string_view word;
    SetupRoutine setup;
    std::u16string_view appKey;
};

// Compared in this order; the first match wins.
constexpr std::array<Application, 5> kApplications{{
    {u"EXCEL", kzInstall::SetupExcel, u"Excel"},
    {u"WORD", kzInstall::SetupWord, u"Word"},
    {u"ACCESS", kzInstall::SetupAccess, u"Access"},
    {u"OUTLOOK", kzInstall::SetupOutlook, u"Outlook"},
    {u"POWERPOINT", kzInstall::SetupPowerPoint, u"PowerPoint"},
}};

Outcome FromReport(const kzInstall::Report& report) {
    const bool leftAlone = report.unreadable || report.unwritten;
    if (leftAlone && report.stillListed) return Outcome::LeftAloneAndStillListed;
    if (report.stillListed) return Outcome::StillListed;
    if (leftAlone) return Outcome::LeftAlone;
    return Outcome::Completed;
}

// Splits at every blank: two adjacent blanks give an empty token, an empty text gives none.
std::vector<std::u16string_view> SplitAtBlanks(std::u16string_view text) {
    std::vector<std::u16string_view> tokens;
    if (text.empty()) return tokens;
    std::size_t start = 0;
    for (;;) {
        const std::size_t blank = text.find(u' ', start);
        tokens.push_back(text.substr(start, blank - start));
        if (blank == std::u16string_view::npos) break;
        start = blank + 1;
    }
    return tokens;
}

// "/uninstall <ProgId> <application>", blanks between them as many as wanted. Asked only of a
// line the three-part form does not accept, so no line that form accepts changes its meaning. A
// ProgID holds no backslash: one that does would address another key and is refused.
Outcome RunUninstall(const std::vector<std::u16string_view>& tokens,
                     const kzInstall::ShellFactory& shells) {
    std::vector<std::u16string_view> words;
    for (const std::u16string_view token : tokens) {
        if (!token.empty()) words.push_back(token);
    }
    if (words.size() != 3 || kzInstall::UpperCase(words[0]) != u"/UNINSTALL" ||
        words[1].find(u'\\') != std::u16string_view::npos) {
        return Outcome::Ignored;
    }
    const std::u16string application = kzInstall::UpperCase(words[2]);
    for (const Application& candidate : kApplications) {
        if (application == candidate.word) {
            return FromReport(kzInstall::RemoveAddin(std::u16string(words[1]),
                                                     std::u16string(candidate.appKey), shells));
        }
    }
    return Outcome::Ignored;
}

Outcome Run(std::u16string_view argumentText, const kzInstall::ShellFactory& shells) {
    const std::vector<std::u16string_view> tokens =
        SplitAtBlanks(kzInstall::TrimBlanks(argumentText));

    // Read from the end: mode, application, then every earlier token appended in reverse order.
    std::u16string mode;
    std::u16string application;
    std::u16string progId;
    for (std::size_t i = tokens.size(); i-- > 0;) {
        const std::size_t fromEnd = tokens.size() - 1 - i;
        if (fromEnd == 0) {
            mode = tokens[i];
        } else if (fromEnd == 1) {
            application = kzInstall::UpperCase(tokens[i]);
        } else {
            progId += tokens[i];
        }
    }
    if (progId.empty() || application.empty() || mode.empty()) return RunUninstall(tokens, shells);

    const bool allowRemove = mode == u"1";
    for (const Application& candidate : kApplications) {
        if (application == candidate.word) {
            return FromReport(candidate.setup(progId, allowRemove, shells));
        }
    }
    return RunUninstall(tokens, shells);
}

}  // namespace

Outcome Main(std::u16string_view argumentText, const kzInstall::ShellFactory& shells,
             const MessageBoxFn& messageBox) noexcept {
    try {
        return Run(argumentText, shells);
    } catch (...) {
        // All work stops; whatever was written or deleted so far stays.
    }
    try {
        if (messageBox) {
            messageBox(std::u16string(kWarningText), std::u16string(kWarningTitle),
                       kWarningBoxStyle);
        }
    } catch (...) {
        // The box is the last thing the run does; nothing is left to report a failure to.
    }
    return Outcome::WarningShown;
}

}  // namespace kzMain
