// The stand-in Excel over COM lives with the stand-in application; this name stays for the
// programs that include it from here.
#pragma once

#include "tools/winexcel/standin_dispatch.h"
