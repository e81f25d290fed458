// Every scan of every readable function, decoded through a ScanCursor into
// one reused Scan: one line per scan with its peak count, summed intensity
// and base peak. Built with CMake (see CMakeLists.txt):
//
//   cmake -S . -B build -DCMAKE_PREFIX_PATH=<kestrune prefix> && cmake --build build
//   build/scan_loop ../sample.raw
#include <cstdio>

#include <kestrune/kestrune.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RUN.raw\n", argv[0]);
        return 2;
    }
    auto run = kestrune::Run::open(argv[1]);
    if (!run) {
        std::fprintf(stderr, "error: %s\n", run.error().to_string().c_str());
        return 1;
    }
    kestrune::Scan scan;  // its arrays are reused from scan to scan
    for (const kestrune::Function& f : run->functions()) {
        if (!f.readable) continue;
        auto cursor = run->scans(f.number);
        if (!cursor) {
            std::fprintf(stderr, "error: %s\n", cursor.error().to_string().c_str());
            return 1;
        }
        for (;;) {
            auto more = cursor->next(scan);
            if (!more) {
                std::fprintf(stderr, "error: %s\n", more.error().to_string().c_str());
                return 1;
            }
            if (!*more) break;
            double total = 0;
            std::size_t base = 0;
            for (std::size_t i = 0; i < scan.mz.size(); ++i) {
                total += scan.intensity[i];
                if (scan.intensity[i] > scan.intensity[base]) base = i;
            }
            std::printf("%u %llu rt %.9g peaks %zu total %.17g", scan.function,
                        static_cast<unsigned long long>(scan.index), double(scan.rt_min), scan.mz.size(), total);
            if (!scan.mz.empty()) std::printf(" base %.17g", scan.mz[base]);
            if (scan.ion_mobility && !scan.drift_time_ms.empty())
                std::printf(" drift %.17g", scan.drift_time_ms[base]);
            std::printf("\n");
        }
    }
    return 0;
}
