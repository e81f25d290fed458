// Centroids every scan of one function of a run with the library's
// centroider (through the public API only) and writes the centroids for
// bench/bench_centroid.py: per scan a little-endian u64 count, then the
// count m/z values (double) and the count intensities (float).
//
//   centroid_run RUN FUNCTION OUT
//
// Prints the scans, the profile points and centroids, and the processor
// seconds spent decoding and centroiding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "kestrune/kestrune.h"

namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: centroid_run RUN FUNCTION OUT\n");
        return 2;
    }
    auto run = kestrune::Run::open(argv[1]);
    if (!run) {
        std::fprintf(stderr, "centroid_run: %s\n", run.error().to_string().c_str());
        return 1;
    }
    auto cursor = run->scans(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    if (!cursor) {
        std::fprintf(stderr, "centroid_run: %s\n", cursor.error().to_string().c_str());
        return 1;
    }
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    kestrune::Centroider centroider;
    kestrune::Scan scan;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::uint64_t scans = 0, points = 0, centroids = 0;
    double decode_s = 0, centroid_s = 0;
    bool ok = true;
    for (;;) {
        const double t0 = cpu_seconds();
        auto more = cursor->next(scan);
        const double t1 = cpu_seconds();
        decode_s += t1 - t0;
        if (!more) {
            std::fprintf(stderr, "centroid_run: %s\n", more.error().to_string().c_str());
            ok = false;
            break;
        }
        if (!*more) break;
        centroider.centroid(scan.mz, scan.intensity, mz, intensity);
        centroid_s += cpu_seconds() - t1;
        const std::uint64_t n = mz.size();
        ok = ok && std::fwrite(&n, sizeof n, 1, out) == 1 && std::fwrite(mz.data(), sizeof(double), n, out) == n &&
             std::fwrite(intensity.data(), sizeof(float), n, out) == n;
        ++scans;
        points += scan.mz.size();
        centroids += n;
    }
    ok = std::fclose(out) == 0 && ok;
    std::printf("scans %llu points %llu centroids %llu decode_s %.4f centroid_s %.4f\n",
                static_cast<unsigned long long>(scans), static_cast<unsigned long long>(points),
                static_cast<unsigned long long>(centroids), decode_s, centroid_s);
    return ok ? 0 : 1;
}
