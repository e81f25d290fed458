// The export's options, checked once for every front-end.
#include <cmath>

#include <sched.h>
#include <unistd.h>

#include <fmt/format.h>

#include "error.h"
#include "kestrune/export.h"
#include "text.h"

namespace kestrune {

unsigned default_threads() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return unsigned(n);
    }
    // Affinity unknown (more CPUs than the set holds): the online CPUs.
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? unsigned(online) : 1u;
}

namespace {

bool positive(double v) noexcept { return std::isfinite(v) && v > 0; }

}  // namespace

Result<void> ExportOptions::validate() const {
    if (compression_level < kMinCompressionLevel || compression_level > kMaxCompressionLevel)
        return invalid_argument(fmt::format("compression level {} is not a level from {} to {}", compression_level,
                                            kMinCompressionLevel, kMaxCompressionLevel));
    if (!positive(numpress_ppm))
        return invalid_argument(fmt::format("numpress ppm {} is not a positive number", text::plain(numpress_ppm)));
    if (threads > kMaxThreads)
        return invalid_argument(fmt::format("{} threads: at most {} are taken", threads, kMaxThreads));
    if (lockmass && !positive(*lockmass))
        return invalid_argument(fmt::format("lock mass {} is not a positive m/z", text::plain(*lockmass)));
    if (!positive(lockmass_tolerance))
        return invalid_argument(
            fmt::format("lock-mass tolerance {} is not a positive number of Da", text::plain(lockmass_tolerance)));
    if (ms_level && (*ms_level < 1 || *ms_level > kMaxMsLevel))
        return invalid_argument(fmt::format("MS level {} is not from 1 to {}", *ms_level, kMaxMsLevel));
    if (functions)
        for (std::uint32_t n : *functions)
            if (n == 0) return invalid_argument("function number 0: functions are numbered from 1");
    if (rt_range) {
        const auto& [lo, hi] = *rt_range;
        if ((lo && std::isnan(*lo)) || (hi && std::isnan(*hi)))
            return invalid_argument("retention-time range: an end is not a number");
        if (lo && hi && *lo > *hi)
            return invalid_argument(fmt::format("retention-time range: start {} is after end {}", text::plain(*lo),
                                                text::plain(*hi)));
    }
    return {};
}

}  // namespace kestrune
