// The data files an export reads, each opened once at the start of the
// export and read through that one open file: a file replaced under the
// export's feet is not mixed in, and a file that changed (replaced, written
// to, cut) is found at the end and fails the export.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "error.h"
#include "fs.h"
#include "kestrune/types.h"
#include "raw/data.h"
#include "reader/reader.h"

namespace kestrune::exporting {

class SourceFiles {
public:
    // Opens the data files of these functions of the run.
    static Result<SourceFiles> open(const reader::Reader& r, const std::vector<const reader::FunctionEntry*>& functions);

    // Decodes a scan of one of the functions into `out` (its arrays reused),
    // reading its bytes into `buffer`. Safe from several threads at once.
    Result<void> decode(const reader::FunctionEntry& e, std::uint64_t scan, fs::Buffer& buffer, Scan& out) const;
    // The SHA-1 of the whole data file of one of the functions.
    Result<std::string> sha1(const reader::FunctionEntry& e) const;
    // Fails when a file is no longer the one opened, or was written to.
    Result<void> check_unchanged() const;

private:
    struct Source {
        const reader::FunctionEntry* entry;
        fs::File file;
        raw::DecodeParams params;
        struct stat at_open;
    };
    const Source* find(const reader::FunctionEntry& e) const noexcept;

    const reader::Reader* reader_ = nullptr;
    std::vector<Source> sources_;  // by function number
};

}  // namespace kestrune::exporting
