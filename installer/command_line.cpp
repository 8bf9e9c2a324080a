#include "installer/command_line.h"

namespace kzMain {

std::u16string_view ArgumentText(std::u16string_view commandLine) {
    std::size_t i = 0;
    bool quoted = false;
    for (; i < commandLine.size(); ++i) {
        const char16_t c = commandLine[i];
        if (c == u'"') {
            quoted = !quoted;
        } else if (!quoted && (c == u' ' || c == u'\t')) {
            break;
        }
    }
    while (i < commandLine.size() && (commandLine[i] == u' ' || commandLine[i] == u'\t'))
        ++i;
    return commandLine.substr(i);
}

}  // namespace kzMain
