// The argument text of a Windows process: its command line without the program's own path.
#pragma once

#include <string_view>

namespace kzMain {

// The program token runs to the first blank or tab outside double quotes (so both "C:\a b\x.exe"
// and C:\"a b"\x.exe are one token); the run of blanks and tabs that separates it from the
// arguments is dropped. Everything after that is returned exactly as typed, inner and trailing
// blanks, tabs and quotes included.
std::u16string_view ArgumentText(std::u16string_view commandLine);

}  // namespace kzMain
