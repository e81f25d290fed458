#include "raw/header.h"
