// For the programs that include the stand-in over COM from here.
#pragma once

#include "tools/winexcel/standin_dispatch.h"
