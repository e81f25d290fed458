// The floor of bench/bench_data.py: every scan of one function decoded with
// the public API's ScanCursor into one reused Scan, touching the size of
// its m/z array, as a C++ program does it.
//
//   build/bench/bench_cursor RUN FUNCTION [REPEAT]
//
// Prints "scans S points P best_s T" for the fastest of REPEAT (default 5)
// passes. Uses the public headers only, as the Python module does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <kestrune/kestrune.h>

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s RUN FUNCTION [REPEAT]\n", argv[0]);
        return 2;
    }
    const auto function = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const int repeat = argc == 4 ? std::atoi(argv[3]) : 5;
    auto run = kestrune::Run::open(argv[1]);
    if (!run) {
        std::fprintf(stderr, "%s\n", run.error().to_string().c_str());
        return 1;
    }
    double best = 1e300;
    std::uint64_t scans = 0, points = 0;
    for (int r = 0; r < repeat; ++r) {
        const auto start = std::chrono::steady_clock::now();
        auto cursor = run->scans(function);
        if (!cursor) {
            std::fprintf(stderr, "%s\n", cursor.error().to_string().c_str());
            return 1;
        }
        kestrune::Scan scan;
        scans = points = 0;
        while (true) {
            auto more = cursor->next(scan);
            if (!more) {
                std::fprintf(stderr, "%s\n", more.error().to_string().c_str());
                return 1;
            }
            if (!*more) break;
            ++scans;
            points += scan.mz.size();
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    std::printf("scans %llu points %llu best_s %.6f\n", static_cast<unsigned long long>(scans),
                static_cast<unsigned long long>(points), best);
    return 0;
}
