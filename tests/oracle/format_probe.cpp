// Prints the stand-in's displayed text for lines "kind<TAB>value<TAB>code" read from stdin, one
// line out per line in: kind n is a number given as a decimal literal, s a text.
#include <cstdlib>
#include <iostream>
#include <string>

#include "server/host/value.h"
#include "standin/number_format.h"

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        const auto tab1 = line.find('\t');
        const auto tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos) {
            std::cout << "?\n";
            continue;
        }
        const std::string kind = line.substr(0, tab1);
        const std::string value = line.substr(tab1 + 1, tab2 - tab1 - 1);
        const std::u16string code = tb::utf16(line.substr(tab2 + 1));
        std::u16string text;
        if (kind == "s") {
            text = tb::standin::format_text(tb::utf16(value), code);
        } else {
            text = tb::standin::format_number(std::strtod(value.c_str(), nullptr), code);
        }
        std::cout << tb::utf8(text) << '\n';
    }
    return 0;
}
