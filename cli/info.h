// `kestrune info`: what a run holds, as text or as JSON.
#pragma once

#include <filesystem>
#include <string>

#include "error.h"

namespace kestrune::cli {

Result<std::string> run_info(const std::filesystem::path& run, bool json);

}  // namespace kestrune::cli
