#include "raw/index.h"
