#include "raw/func_sts.h"
