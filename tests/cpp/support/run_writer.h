// Writes synthetic run directories for tests and benchmarks.
#pragma once
