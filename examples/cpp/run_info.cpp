// A run's header, functions, first scans and chromatogram channels, through
// the installed kestrune library. Built with pkg-config (see README.md):
//
//   g++ -std=c++23 run_info.cpp $(pkg-config --cflags --libs kestrune) -o run_info
//   ./run_info ../sample.raw
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
    std::printf("library %s\n", kestrune::version());
    std::printf("run %s\n", run->name().c_str());
    std::printf("instrument %s\n", run->header().instrument.value_or("-").c_str());
    for (const kestrune::Function& f : run->functions()) {
        std::printf("function %u readable %d lock_mass %d ms_level %u", f.number, f.readable, f.lock_mass,
                    unsigned(f.ms_level));
        if (!f.readable) {
            std::printf("\n");
            continue;
        }
        std::printf(" encoding %s scans %llu\n", kestrune::encoding_name(f.encoding).data(),
                    static_cast<unsigned long long>(f.scans));
        auto scan = run->read_scan(f.number, 0);
        if (!scan) {
            std::fprintf(stderr, "error: %s\n", scan.error().to_string().c_str());
            return 1;
        }
        std::printf("first scan %u rt %.9g peaks %zu", f.number, double(scan->rt_min), scan->mz.size());
        if (!scan->mz.empty())
            std::printf(" mz %.17g intensity %.9g", scan->mz.front(), double(scan->intensity.front()));
        std::printf("\n");
    }
    auto channels = run->channels();
    if (!channels) {
        std::fprintf(stderr, "error: %s\n", channels.error().to_string().c_str());
        return 1;
    }
    for (const kestrune::Channel& c : *channels) {
        auto points = run->read_channel(c.index);
        if (!points) {
            std::fprintf(stderr, "error: %s\n", points.error().to_string().c_str());
            return 1;
        }
        std::printf("channel %zu %s [%s] points %zu\n", c.index, c.name.c_str(), c.units.c_str(), points->size());
    }
    return 0;
}
