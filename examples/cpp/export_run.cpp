// A run exported as indexed mzML and measured for its quality report,
// through the installed kestrune library: the same file as
// `kestrune export RUN -o OUT --threads 1`. Built with pkg-config:
//
//   g++ -std=c++23 export_run.cpp $(pkg-config --cflags --libs kestrune) -o export_run
//   ./export_run ../sample.raw sample.mzML
#include <cstdio>

#include <kestrune/kestrune.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s RUN.raw OUT.mzML\n", argv[0]);
        return 2;
    }
    auto run = kestrune::Run::open(argv[1]);
    if (!run) {
        std::fprintf(stderr, "error: %s\n", run.error().to_string().c_str());
        return 1;
    }
    kestrune::ExportOptions opt;
    opt.threads = 1;
    auto r = kestrune::export_mzml(*run, argv[2], opt);
    if (!r) {
        std::fprintf(stderr, "error: %s\n", r.error().to_string().c_str());
        // Exit status 2 for an argument the export cannot take, as the tool.
        return r.error().cause() == kestrune::Error::Kind::InvalidArgument ? 2 : 1;
    }
    std::printf("%zu spectra, %zu chromatograms, %llu bytes\n", r->spectra, r->chromatograms,
                static_cast<unsigned long long>(r->bytes));
    auto q = kestrune::measure_run(*run);
    if (!q) {
        std::fprintf(stderr, "error: %s\n", q.error().to_string().c_str());
        return 1;
    }
    std::printf("MS1 spectra %zu, MS2 spectra %zu\n", q->metrics.ms1_spectra, q->metrics.ms2_spectra);
    return 0;
}
