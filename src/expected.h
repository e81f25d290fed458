// kestrune::expected / kestrune::unexpected for the core: the public
// header's choice (std::expected, or the stand-in where the library is built
// without it).
#pragma once

#include "kestrune/expected.h"
