// The Reader inside a public Run, for the library's own layers above the
// reader (the export, the quality report, the run description).
#pragma once

#include "kestrune/run.h"
#include "reader/reader.h"

namespace kestrune::detail {

struct RunAccess {
    static const reader::Reader& reader(const Run& run) noexcept;
};

}  // namespace kestrune::detail

namespace kestrune::api {

inline const reader::Reader& reader_of(const Run& run) noexcept { return detail::RunAccess::reader(run); }

}  // namespace kestrune::api
