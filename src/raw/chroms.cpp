#include "raw/chroms.h"
