#include "raw/data.h"
