#include "raw/extern_inf.h"
