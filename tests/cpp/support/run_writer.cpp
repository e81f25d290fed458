#include "support/run_writer.h"
