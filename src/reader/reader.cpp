#include "reader/reader.h"
