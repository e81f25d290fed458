// The write of an export and the public entry points.
#include "export/plan.h"

#include <memory>

#include <fmt/format.h>

#include "api/run_access.h"
#include "export/pipeline.h"
#include "export/render.h"
#include "output/output_file.h"
#include "output/output_guard.h"
#include "output/stream_sink.h"
#include "text.h"

namespace kestrune::exporting {

void Tally::start() const {
    if (callback_) callback_(0, total_);
}

void Tally::step() {
    ++done_;
    if (callback_) callback_(done_, total_);
}

void Tally::finish() const {
    if (callback_) callback_(total_, total_);
}

namespace {

using reader::Reader;

// The total ion current of each function, in file order, as written.
struct TicSeries {
    std::vector<std::vector<float>> time;
    std::vector<std::vector<double>> value;
};

// Scans are decoded, converted, encoded and compressed on the worker
// threads; this thread appends them in plan order.
Result<void> write_spectra(const Reader& r, const ExportPlan& plan, const mzml::ArrayEncoding& encoding,
                           unsigned threads, mzml::MzmlWriter& writer, output::ByteSink& sink, TicSeries& tics,
                           Tally& tally) {
    std::vector<std::size_t> first_index(plan.scans.size());
    for (std::size_t i = 1; i < plan.scans.size(); ++i) first_index[i] = first_index[i - 1] + plan.scans[i - 1].spectra;
    const std::vector<ScanBatch> batches = batch_scans(plan);
    const PipelineLimits limits{threads, kBatchesAheadPerThread * threads, kQueueBytes};
    struct Slot {
        mzml::RenderedSpectra spectra;
        std::vector<RenderedScan> written;
        std::optional<Error> error;
    };
    std::vector<Slot> slots(limits.jobs_ahead);
    std::vector<std::unique_ptr<SpectrumRenderer>> renderers;
    for (unsigned w = 0; w < threads; ++w) renderers.push_back(std::make_unique<SpectrumRenderer>(r, plan, encoding));
    std::optional<Error> failed;
    const auto produce = [&](std::size_t job, unsigned worker) {
        Slot& s = slots[job % slots.size()];
        s.spectra.clear();
        s.written.clear();
        s.error.reset();
        const ScanBatch& batch = batches[job];
        for (std::size_t i = batch.first; i < batch.last; ++i) {
            auto written =
                renderers[worker]->render(plan.scans[i], first_index[i] + batch.bin_first, s.spectra, batch.bin_first,
                                          batch.bin_last);
            if (!written) {
                s.error = std::move(written.error());
                break;
            }
            // A frame split across batches counts once, with its first part.
            if (batch.bin_first == 0) s.written.push_back(*written);
        }
        return s.spectra.text.capacity();
    };
    const auto consume = [&](std::size_t job) {
        Slot& s = slots[job % slots.size()];
        if (s.error) {
            failed = std::move(*s.error);
            return false;
        }
        writer.append(s.spectra);
        if (sink.failed()) return false;
        for (std::size_t k = 0; k < s.written.size(); ++k) {
            const PlannedScan& sel = plan.scans[batches[job].first + k];
            tics.time[sel.function_slot].push_back(s.written[k].rt_min);
            tics.value[sel.function_slot].push_back(s.written[k].tic);
            tally.step();
        }
        // A slot does not keep the memory of an exceptionally large batch.
        if (s.spectra.text.capacity() > kSlotKeepBytes) s.spectra = mzml::RenderedSpectra{};
        return true;
    };
    run_ordered(batches.size(), limits, produce, consume);
    if (failed) return fail(std::move(*failed));
    return {};
}

void write_tic_chromatograms(const ExportPlan& plan, const TicSeries& tics, mzml::MzmlWriter& writer) {
    for (std::size_t slot = 0; slot < plan.functions.size(); ++slot) {
        const PlannedFunction& f = plan.functions[slot];
        if (f.scans == 0) continue;
        mzml::ChromatogramEntry c;
        c.id = f.tic_id;
        c.type = term::kTicChromatogram;
        c.time_min = tics.time[slot];
        c.values64 = tics.value[slot];
        c.value_array = term::kIntensityArray;
        c.value_unit = term::kUnitDetectorCounts;
        c.user_params.push_back({"function", fmt::format("{}", f.entry->number)});
        writer.chromatogram(c);
    }
}

void write_channel_chromatograms(const ExportPlan& plan, mzml::MzmlWriter& writer) {
    for (const PlannedChannel& p : plan.channels) {
        mzml::ChromatogramEntry c;
        c.id = p.id;
        c.type = p.kind.type;
        c.time_min = p.time;
        c.value_array = p.kind.value_array;
        c.value_unit = p.kind.unit;
        if (p.kind.value_array.accession == term::kNonStandardArray.accession) c.value_array_text = p.channel.name;
        if (p.kind.converted) {
            c.values64 = p.converted;
        } else {
            c.values_are_64 = false;
            c.values32 = p.values;
        }
        c.user_params.push_back({"channel name", p.channel.name});
        if (!p.channel.units.empty()) c.user_params.push_back({"units", p.channel.units});
        c.user_params.push_back({"channel index", fmt::format("{}", p.channel.index)});
        c.user_params.push_back({"scale factor", text::plain(p.channel.scale_f)});
        c.user_params.push_back({"source type", fmt::format("{}", p.channel.source_type)});
        writer.chromatogram(c);
    }
}

}  // namespace

Result<ExportSummary> write_export(const Reader& r, const ExportPlan& plan, const ExportOptions& o,
                                   output::ByteSink& sink, Tally& tally) {
    const mzml::ArrayEncoding encoding{o.compress, o.compression_level, o.numpress, o.numpress_ppm};
    mzml::MzmlWriter writer(sink, encoding);
    writer.begin(plan.run, plan.n_spectra, plan.n_chromatograms);
    TicSeries tics;
    tics.time.resize(plan.functions.size());
    tics.value.resize(plan.functions.size());
    for (std::size_t slot = 0; slot < plan.functions.size(); ++slot) {
        tics.time[slot].reserve(plan.functions[slot].scans);
        tics.value[slot].reserve(plan.functions[slot].scans);
    }
    const unsigned threads = o.threads > 0 ? o.threads : default_threads();
    if (auto ok = write_spectra(r, plan, encoding, threads, writer, sink, tics, tally); !ok)
        return fail(std::move(ok.error()));
    if (!sink.failed()) write_tic_chromatograms(plan, tics, writer);
    if (!sink.failed()) write_channel_chromatograms(plan, writer);
    if (!sink.failed())
        if (auto finished = writer.finish(); !finished) return fail(std::move(finished.error()));
    // What was read is what the run held from start to end.
    if (auto unchanged = plan.sources->check_unchanged(); !unchanged) return fail(std::move(unchanged.error()));
    ExportSummary summary;
    summary.spectra = plan.n_spectra;
    summary.chromatograms = plan.n_chromatograms;
    summary.bytes = writer.bytes_written();
    summary.lock_scans = plan.lock_scans;
    summary.lock_scans_matched = plan.correction.points().size();
    for (const PlannedFunction& f : plan.functions)
        if (f.centroid) summary.centroided_functions.push_back(f.entry->number);
    if (!plan.correction.empty())
        for (const PlannedScan& s : plan.scans) {
            summary.factor_min = std::min(summary.factor_min.value_or(s.lock_factor), s.lock_factor);
            summary.factor_max = std::max(summary.factor_max.value_or(s.lock_factor), s.lock_factor);
        }
    return summary;
}

namespace {

// The plan with its lock-mass correction, then the write to `sink`; the
// sink's own failure is for the caller to report.
Result<ExportSummary> run_export(const Reader& r, const ExportOptions& o, output::ByteSink& sink,
                                 const ProgressCallback& progress) {
    auto plan = plan_export(r, o);
    if (!plan) return fail(std::move(plan.error()));
    Tally tally(progress, (o.lockmass ? lock_scan_count(r) : 0) + plan->scans.size());
    tally.start();
    if (o.lockmass)
        if (auto added = add_lock_mass(r, o, *plan, tally); !added) return fail(std::move(added.error()));
    auto summary = write_export(r, *plan, o, sink, tally);
    if (summary && !sink.failed()) tally.finish();
    return summary;
}

Result<ExportSummary> export_to_file(const Run& run, const std::filesystem::path& out, const ExportOptions& o,
                                     const ProgressCallback& progress) {
    auto file = output::OutputFile::create(out);
    if (!file) return fail(std::move(file.error()));
    auto summary = run_export(api::reader_of(run), o, *file, progress);
    if (file->failed()) return fail(file->error());
    if (!summary) return summary;
    if (auto committed = file->commit(); !committed) return fail(std::move(committed.error()));
    return summary;
}

}  // namespace

}  // namespace kestrune::exporting

namespace kestrune {

Result<ExportSummary> export_mzml(const Run& run, const std::filesystem::path& out, const ExportOptions& options,
                                  const ProgressCallback& progress) {
    if (auto ok = options.validate(); !ok) return fail(std::move(ok.error()));
    if (auto ok = output::refuse_output_in_run(out, run.path()); !ok) return fail(std::move(ok.error()));
    return exporting::export_to_file(run, out, options, progress);
}

Result<ExportSummary> export_mzml(const std::filesystem::path& run_dir, const std::filesystem::path& out,
                                  const ExportOptions& options, const ProgressCallback& progress) {
    if (auto ok = options.validate(); !ok) return fail(std::move(ok.error()));
    // Runs are only read: an output that resolves into the run is refused,
    // and one that cannot be written fails, before any work is done.
    if (auto ok = output::refuse_output_in_run(out, run_dir); !ok) return fail(std::move(ok.error()));
    if (auto probe = output::OutputFile::probe(out); !probe) return fail(std::move(probe.error()));
    auto run = Run::open(run_dir);
    if (!run) return fail(std::move(run.error()));
    return exporting::export_to_file(*run, out, options, progress);
}

Result<ExportSummary> export_mzml(const Run& run, OutputStream& out, const ExportOptions& options,
                                  const ProgressCallback& progress) {
    if (auto ok = options.validate(); !ok) return fail(std::move(ok.error()));
    output::StreamSink sink(out);
    auto summary = exporting::run_export(api::reader_of(run), options, sink, progress);
    if (!summary && !sink.failed()) return summary;
    if (auto flushed = sink.finish(); !flushed) return fail(std::move(flushed.error()));
    return summary;
}

}  // namespace kestrune
