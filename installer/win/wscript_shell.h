// The Windows binding of the installer's shell: the platform's "WScript.Shell" object, created by
// its ProgID and called by member name through IDispatch.
#pragma once

#include "installer/shell.h"

namespace kzWin {

// Creates a "WScript.Shell" object per call; throws kzInstall::ShellFailure when it cannot.
// The calling thread must have initialised COM.
kzInstall::ShellFactory WScriptShellFactory();

}  // namespace kzWin
