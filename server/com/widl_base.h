// The generated type library header imports the IDL base declarations under this name; the
// real declarations come from the Windows headers it already includes.
#pragma once
#include <oaidl.h>
