// A packed run (run_image.h) unpacked into a fresh temporary run directory,
// for the targets that read whole runs. libFuzzer ends the process without
// running exit handlers, so each input removes its own directory.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "common.h"
#include "run_image.h"

namespace kestrune::fuzz {

// A fresh directory under TMPDIR, named after the target.
inline std::filesystem::path fresh_dir(std::string_view target) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrune-fuzz-" + std::string(target) + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) fault("cannot make a temporary directory");
    return std::filesystem::path(templ);
}

// The files of the packed run, written into `dir` (made here).
inline void write_run(const std::filesystem::path& dir, std::string_view input) {
    std::filesystem::create_directory(dir);
    for (const auto& f : unpack_run(input)) {
        const std::filesystem::path p = dir / f.name;
        std::error_code ec;
        std::filesystem::remove_all(p, ec);
        if (f.directory) {
            std::filesystem::create_directory(p, ec);
            continue;
        }
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(f.content.data(), static_cast<std::streamsize>(f.content.size()));
        if (!out) fault("cannot write", p.native());
    }
}

}  // namespace kestrune::fuzz
