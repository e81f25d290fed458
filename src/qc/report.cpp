#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>

#include <fmt/format.h>
#include <zlib.h>

#include "codec/base64.h"
#include "json.h"
#include "kestrune/qc.h"
#include "mzml/writer.h"
#include "qc/metric_table.h"
#include "qc/mzqc.h"
#include "text.h"

namespace kestrune::qc {

namespace {

constexpr const char* kPalette[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b",
                                    "#e377c2"};

// Plot geometry in SVG user units.
constexpr double kWidth = 600, kHeight = 290;
constexpr double kLeft = 78, kRight = 24, kTop = 46, kBottom = 46;

std::string esc(std::string_view s) { return mzml::xml_escape(text::lossy_utf8(s)); }

// A number for people: integers in full below 1e9, else four significant digits.
std::string display(double v) {
    if (!std::isfinite(v)) return "-";
    if (v == std::floor(v) && std::fabs(v) < 1e9) return fmt::format("{:.0f}", v == 0 ? 0.0 : v);
    return fmt::format("{:.4g}", v);
}

std::string tick_text(double v) {
    if (v == 0) return "0";
    if (std::fabs(v) >= 1e5 || std::fabs(v) < 1e-3) return fmt::format("{:.3g}", v);
    return fmt::format("{:g}", v);
}

std::vector<double> nice_ticks(double lo, double hi, int target) {
    std::vector<double> out;
    const double span = hi - lo;
    if (!(span > 0) || !std::isfinite(span)) return out;
    const double raw = span / target;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    const double norm = raw / mag;
    const double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * mag;
    for (double t = std::ceil(lo / step) * step; t <= hi + step * 1e-9; t += step)
        out.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
    return out;
}

struct Trace {
    std::string label;
    const XY* data = nullptr;
    bool sticks = false;
    bool markers = false;
};

struct Plot {
    std::string kind;  // data-plot attribute
    std::string title;
    std::string x_label;
    std::string y_label;
    std::vector<Trace> traces;
    bool y_from_zero = true;
    std::vector<std::string> x_categories;  // run labels at x = 1..n
};

struct Range {
    double lo = INFINITY, hi = -INFINITY;
    void add(double v) {
        if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    }
    void settle(bool from_zero, bool pad_ends = true) {
        if (!(lo <= hi)) lo = 0, hi = 1;
        if (from_zero) lo = std::min(lo, 0.0), hi = std::max(hi, 0.0);
        if (pad_ends && hi > lo) {
            const double pad = (hi - lo) * 0.05;
            hi += pad;
            if (!from_zero || lo < 0) lo -= pad;
        }
        if (hi == lo) {
            const double d = lo == 0 ? 1 : std::fabs(lo) * 0.1;
            lo -= from_zero && lo == 0 ? 0 : d;
            hi += d;
        }
    }
};

class Frame {
public:
    Frame(Range x, Range y) : x_(x), y_(y) {}
    double px(double v) const { return kLeft + (v - x_.lo) / (x_.hi - x_.lo) * (kWidth - kLeft - kRight); }
    double py(double v) const { return kHeight - kBottom - (v - y_.lo) / (y_.hi - y_.lo) * (kHeight - kTop - kBottom); }
    const Range& x() const { return x_; }
    const Range& y() const { return y_; }

private:
    Range x_, y_;
};

void open_svg(std::string& out, const Plot& p) {
    fmt::format_to(std::back_inserter(out),
                   "<figure class=\"plot\" data-plot=\"{}\"><svg class=\"plot\" viewBox=\"0 0 {} {}\" role=\"img\" "
                   "xmlns=\"http://www.w3.org/2000/svg\"><title>{}</title>"
                   "<text class=\"title\" x=\"{}\" y=\"18\" text-anchor=\"middle\">{}</text>",
                   esc(p.kind), kWidth, kHeight, esc(p.title), kWidth / 2, esc(p.title));
}

void axes(std::string& out, const Plot& p, const Frame& f) {
    auto it = std::back_inserter(out);
    const double x0 = kLeft, x1 = kWidth - kRight, y0 = kHeight - kBottom, y1 = kTop;
    fmt::format_to(it, "<path class=\"axis\" d=\"M{:.1f} {:.1f}V{:.1f}H{:.1f}\"/>", x0, y1, y0, x1);
    for (double t : nice_ticks(f.y().lo, f.y().hi, 5)) {
        const double y = f.py(t);
        fmt::format_to(it, "<path class=\"grid\" d=\"M{:.1f} {:.1f}H{:.1f}\"/><text x=\"{:.1f}\" y=\"{:.1f}\" "
                           "text-anchor=\"end\">{}</text>",
                       x0, y, x1, x0 - 5, y + 4, esc(tick_text(t)));
    }
    if (!p.x_categories.empty()) {
        for (std::size_t i = 0; i < p.x_categories.size(); ++i) {
            const double x = f.px(double(i + 1));
            std::string label = p.x_categories[i];
            if (label.size() > 18) label = label.substr(0, 17) + "\xE2\x80\xA6";
            fmt::format_to(it, "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\">{}</text>", x, y0 + 16,
                           esc(label));
        }
    } else {
        for (double t : nice_ticks(f.x().lo, f.x().hi, 8))
            fmt::format_to(it, "<path class=\"axis\" d=\"M{0:.1f} {1:.1f}v4\"/><text x=\"{0:.1f}\" y=\"{2:.1f}\" "
                               "text-anchor=\"middle\">{3}</text>",
                           f.px(t), y0, y0 + 16, esc(tick_text(t)));
    }
    fmt::format_to(it, "<text class=\"label\" x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\">{}</text>",
                   (x0 + x1) / 2, kHeight - 8, esc(p.x_label));
    fmt::format_to(it,
                   "<text class=\"label\" transform=\"translate(16 {:.1f}) rotate(-90)\" "
                   "text-anchor=\"middle\">{}</text>",
                   (y0 + y1) / 2, esc(p.y_label));
}

// A caption under the plot naming the traces, when there are several.
void legend(std::string& out, const Plot& p) {
    if (p.traces.size() < 2) return;
    out += "<figcaption>";
    for (std::size_t i = 0; i < p.traces.size(); ++i)
        fmt::format_to(std::back_inserter(out), "<span class=\"key\"><i style=\"background:{}\"></i>{}</span>",
                       kPalette[i % std::size(kPalette)], esc(p.traces[i].label));
    out += "</figcaption>";
}

std::string line_plot(const Plot& p) {
    std::string out;
    open_svg(out, p);
    Range xr, yr;
    std::size_t points = 0;
    for (const Trace& t : p.traces) {
        for (double v : t.data->x) xr.add(v);
        for (double v : t.data->y) yr.add(v);
        points += t.data->size();
    }
    if (!p.x_categories.empty()) xr = Range{0.5, double(p.x_categories.size()) + 0.5};
    xr.settle(false, false);
    yr.settle(p.y_from_zero);
    const Frame f(xr, yr);
    axes(out, p, f);
    auto it = std::back_inserter(out);
    for (std::size_t i = 0; i < p.traces.size(); ++i) {
        const Trace& t = p.traces[i];
        const char* colour = kPalette[i % std::size(kPalette)];
        const XY& d = *t.data;
        if (t.sticks) {
            fmt::format_to(it, "<path class=\"trace\" stroke=\"{}\" d=\"", colour);
            const double base = f.py(std::max(yr.lo, 0.0));
            for (std::size_t k = 0; k < d.size(); ++k)
                if (std::isfinite(d.x[k]) && std::isfinite(d.y[k]))
                    fmt::format_to(it, "M{:.1f} {:.1f}V{:.1f}", f.px(d.x[k]), base, f.py(d.y[k]));
            out += "\"/>";
            continue;
        }
        fmt::format_to(it, "<polyline class=\"trace\" stroke=\"{}\" points=\"", colour);
        for (std::size_t k = 0; k < d.size(); ++k)
            if (std::isfinite(d.x[k]) && std::isfinite(d.y[k]))
                fmt::format_to(it, "{}{:.1f},{:.1f}", k ? " " : "", f.px(d.x[k]), f.py(d.y[k]));
        out += "\"/>";
        if (t.markers)
            for (std::size_t k = 0; k < d.size(); ++k)
                if (std::isfinite(d.y[k]))
                    fmt::format_to(it, "<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"3\" fill=\"{}\"/>", f.px(d.x[k]),
                                   f.py(d.y[k]), colour);
    }
    if (points == 0)
        fmt::format_to(it, "<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">no data</text>", kWidth / 2, kHeight / 2);
    out += "</svg>";
    legend(out, p);
    out += "</figure>\n";
    return out;
}

std::string line_plot(std::string kind, std::string title, std::string x_label, std::string y_label,
                      std::vector<Trace> traces, bool y_from_zero = true) {
    Plot p;
    p.kind = std::move(kind);
    p.title = std::move(title);
    p.x_label = std::move(x_label);
    p.y_label = std::move(y_label);
    p.traces = std::move(traces);
    p.y_from_zero = y_from_zero;
    return line_plot(p);
}

// ---------------------------------------------------------------------------
// Heatmap as a PNG image inside the SVG.

struct Rgb {
    std::uint8_t r, g, b;
};

Rgb colour_at(double t) {
    static constexpr Rgb kStops[] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
    t = std::clamp(t, 0.0, 1.0) * double(std::size(kStops) - 1);
    const std::size_t i = std::min<std::size_t>(std::size_t(t), std::size(kStops) - 2);
    const double f = t - double(i);
    const auto mix = [f](std::uint8_t a, std::uint8_t b) { return std::uint8_t(std::lround(a + (b - a) * f)); };
    return {mix(kStops[i].r, kStops[i + 1].r), mix(kStops[i].g, kStops[i + 1].g), mix(kStops[i].b, kStops[i + 1].b)};
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(std::uint8_t(v >> s));
}

void png_chunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
    put_u32(out, std::uint32_t(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_u32(out, std::uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

// An 8-bit RGB PNG of `rows` (each `width` pixels, top row first); nothing
// when zlib fails.
std::optional<std::vector<std::uint8_t>> png(std::size_t width, std::size_t height, const std::vector<Rgb>& pixels) {
    std::vector<std::uint8_t> raw;
    raw.reserve(height * (width * 3 + 1));
    for (std::size_t y = 0; y < height; ++y) {
        raw.push_back(0);
        for (std::size_t x = 0; x < width; ++x) {
            const Rgb& c = pixels[y * width + x];
            raw.insert(raw.end(), {c.r, c.g, c.b});
        }
    }
    uLongf size = compressBound(uLong(raw.size()));
    std::vector<std::uint8_t> packed(size);
    if (compress2(packed.data(), &size, raw.data(), uLong(raw.size()), 9) != Z_OK) return std::nullopt;
    packed.resize(size);
    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    put_u32(header, std::uint32_t(width));
    put_u32(header, std::uint32_t(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    png_chunk(out, "IHDR", header);
    png_chunk(out, "IDAT", packed);
    png_chunk(out, "IEND", {});
    return out;
}

std::string heatmap_plot(const FunctionQc& fn) {
    const Heatmap& h = *fn.heatmap;
    Plot p;
    p.kind = "heatmap";
    p.title = fmt::format("Function {}: ion mobility, summed intensity", fn.number);
    p.x_label = "m/z";
    p.y_label = "drift time (ms)";
    std::string out;
    open_svg(out, p);
    const Frame f(Range{h.mz_low, h.mz_high}, Range{h.drift_low, h.drift_high});
    double lo = INFINITY, hi = 0;
    for (double v : h.sum)
        if (v > 0) lo = std::min(lo, v), hi = std::max(hi, v);
    axes(out, p, f);
    auto it = std::back_inserter(out);
    std::optional<std::vector<std::uint8_t>> image;
    const double llo = std::log10(lo), lhi = std::log10(hi);
    const double span = lhi > llo ? lhi - llo : 1;
    if (hi > 0 && h.nx > 0 && h.ny > 0) {
        std::vector<Rgb> pixels(h.nx * h.ny, Rgb{255, 255, 255});
        for (std::size_t row = 0; row < h.ny; ++row)
            for (std::size_t col = 0; col < h.nx; ++col) {
                const double v = h.sum[row * h.nx + col];
                if (v > 0) pixels[(h.ny - 1 - row) * h.nx + col] = colour_at((std::log10(v) - llo) / span);
            }
        image = png(h.nx, h.ny, pixels);
    }
    if (image) {
        std::string uri = "data:image/png;base64,";
        codec::base64_append(*image, uri);
        const double x0 = f.px(h.mz_low), x1 = f.px(h.mz_high), y0 = f.py(h.drift_high), y1 = f.py(h.drift_low);
        fmt::format_to(it,
                       "<image x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" "
                       "preserveAspectRatio=\"none\" style=\"image-rendering:pixelated\" href=\"{}\"/>",
                       x0, y0, x1 - x0, y1 - y0, uri);
        // Colour bar, log10 scale.
        const double bx = kWidth - kRight + 4, top = kTop, bottom = kHeight - kBottom;
        constexpr int kSteps = 32;
        for (int s = 0; s < kSteps; ++s) {
            const Rgb c = colour_at((s + 0.5) / kSteps);
            const double y = bottom - (s + 1) * (bottom - top) / kSteps;
            fmt::format_to(it, "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"8\" height=\"{:.2f}\" fill=\"#{:02x}{:02x}{:02x}\"/>",
                           bx, y, (bottom - top) / kSteps + 0.3, c.r, c.g, c.b);
        }
        for (int k = 0; k <= 4; ++k) {
            const double t = llo + span * k / 4.0;
            fmt::format_to(it, "<text class=\"small\" x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">{:.2g}</text>",
                           bx - 1, bottom - (t - llo) / span * (bottom - top) + 3, std::pow(10.0, t));
        }
        fmt::format_to(it, "<text class=\"small\" x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">log colour scale</text>",
                       kWidth - 2, kTop - 16);
    } else {
        fmt::format_to(it, "<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">{}</text>", kWidth / 2, kHeight / 2,
                       hi > 0 && h.nx > 0 && h.ny > 0 ? "image could not be encoded" : "no data");
    }
    out += "</svg></figure>\n";
    return out;
}

// ---------------------------------------------------------------------------
// Metrics.

// The columns of the metric tables, metric by metric.
std::vector<Column> columns() {
    std::vector<Column> out;
    for (const Metric& m : metric_table()) out.insert(out.end(), m.columns.begin(), m.columns.end());
    return out;
}

// The unit of a column for these runs: pressure in the first run's units.
std::string column_unit(const Column& c, std::span<const RunQc> runs) {
    if (!c.pressure_unit) return std::string(c.unit);
    for (const RunQc& q : runs)
        if (q.metrics.pump_pressure) return q.metrics.pump_pressure->units;
    return "";
}

std::string metrics_table(std::span<const RunQc> runs, std::span<const std::string> labels) {
    std::string out = "<div class=\"scroll\"><table class=\"metrics\"><thead><tr><th>run</th>";
    auto it = std::back_inserter(out);
    for (const Column& c : columns()) {
        const std::string unit = column_unit(c, runs);
        fmt::format_to(it, "<th>{}{}</th>", esc(c.title), unit.empty() ? "" : " (" + esc(unit) + ")");
    }
    out += "</tr></thead><tbody>";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        fmt::format_to(it, "<tr><th>{}</th>", esc(labels[i]));
        for (const Column& c : columns()) {
            const auto v = c.value(runs[i].metrics);
            fmt::format_to(it, "<td>{}</td>", v ? display(*v) : "-");
        }
        out += "</tr>";
    }
    out += "</tbody></table></div>\n";
    return out;
}

// One run's metrics, one per row.
std::string run_metrics_table(const RunQc& q, std::span<const RunQc> runs) {
    std::string out = "<table class=\"metrics\"><tbody>";
    auto it = std::back_inserter(out);
    for (const Column& c : columns()) {
        const std::string unit = column_unit(c, runs);
        const auto v = c.value(q.metrics);
        fmt::format_to(it, "<tr><th>{}{}</th><td>{}</td></tr>", esc(c.title), unit.empty() ? "" : " (" + esc(unit) + ")",
                       v ? display(*v) : "-");
    }
    out += "</tbody></table>\n";
    return out;
}

// The metrics as JSON data for programs reading the report.
std::string metrics_json(std::span<const RunQc> runs, std::span<const std::string> labels) {
    JsonWriter w;
    w.begin_array();
    for (std::size_t i = 0; i < runs.size(); ++i) {
        w.begin_object();
        w.key("run").value(labels[i]);
        for (const Metric& m : metric_table()) {
            w.key(m.key);
            m.json(w, runs[i].metrics);
        }
        w.end_object();
    }
    w.end_array();
    std::string text = w.finish();
    // Safe inside a script element.
    for (std::size_t p = 0; (p = text.find("</", p)) != std::string::npos; p += 3) text.replace(p, 2, "<\\/");
    return text;
}

std::string trend_plots(std::span<const RunQc> runs, std::span<const std::string> labels) {
    std::string out;
    for (const Column& c : columns()) {
        XY series;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            series.x.push_back(double(i + 1));
            series.y.push_back(c.value(runs[i].metrics).value_or(NAN));
        }
        const std::string unit = column_unit(c, runs);
        Plot p;
        p.kind = "trend";
        p.title = std::string(c.title) + " across runs";
        p.x_label = "run";
        p.y_label = unit.empty() ? std::string(c.title) : fmt::format("{} ({})", c.title, unit);
        p.traces = {Trace{std::string(c.title), &series, false, true}};
        p.y_from_zero = false;
        p.x_categories.assign(labels.begin(), labels.end());
        out += line_plot(p);
    }
    return out;
}

std::string function_label(const FunctionQc& f) {
    return fmt::format("function {} (MS{}{})", f.number, f.ms_level, f.ims ? ", ion mobility" : "");
}

std::string chromatogram_plots(const RunQc& q) {
    std::vector<Trace> tic, bpi, lock;
    for (const FunctionQc& f : q.functions) {
        if (f.scans == 0) continue;
        if (f.lock_mass) {
            lock.push_back({fmt::format("function {} TIC", f.number), &f.tic});
            lock.push_back({fmt::format("function {} base peak", f.number), &f.bpi});
        } else {
            tic.push_back({function_label(f), &f.tic});
            bpi.push_back({function_label(f), &f.bpi});
        }
    }
    std::string out = "<h3>Chromatograms</h3>\n";
    out += line_plot("tic", "Total ion current", "retention time (min)", "total ion current (counts)", tic);
    out += line_plot("bpi", "Base peak intensity", "retention time (min)", "base peak intensity (counts)", bpi);
    if (!lock.empty())
        out += line_plot("lock-tic", "Lock-mass function: total ion current and base peak", "retention time (min)",
                         "intensity (counts)", lock);
    for (const ChannelQc& c : q.channels) {
        const std::string unit = c.units.empty() ? "no unit given" : c.units;
        out += line_plot("channel", fmt::format("Channel {}: {}", c.index, c.name), "time (min)",
                         fmt::format("{} ({})", c.name, unit), {Trace{c.name, &c.trace}}, false);
    }
    return out;
}

std::string lock_mass_drift(const RunQc& q) {
    std::string out = "<h3>Lock-mass drift</h3>\n";
    auto it = std::back_inserter(out);
    if (q.lock) {
        const LockDriftQc& d = *q.lock;
        fmt::format_to(it,
                       "<p>Reference m/z {} ({}), window &plusmn;{} Da: {} of {} lock-mass scans matched. Median "
                       "error {} ppm, SD {} ppm, range {} to {} ppm.</p>\n",
                       fmt::format("{:.4f}", d.reference_mz),
                       d.reference_given ? "given with --lockmass"
                                         : "not given: taken from the most intense peak of the lock-mass scans",
                       esc(text::plain(d.tolerance)), d.matched, d.scans, display(d.median.value_or(NAN)),
                       display(d.sd.value_or(NAN)), display(d.min.value_or(NAN)), display(d.max.value_or(NAN)));
        out += line_plot("lockmass", fmt::format("Lock-mass drift at m/z {:.4f}", d.reference_mz),
                         "retention time (min)", "error of the reference peak (ppm)",
                         {Trace{"ppm error", &d.ppm, false, true}}, false);
    }
    if (!q.lock_note.empty()) fmt::format_to(it, "<p class=\"note\">No lock-mass drift: {}.</p>\n", esc(q.lock_note));
    return out;
}

std::string spectrum_plots(const RunQc& q) {
    std::string out;
    bool any_ims = false;
    for (const FunctionQc& f : q.functions)
        if (f.heatmap) {
            if (!any_ims) out += "<h3>Ion mobility</h3>\n";
            any_ims = true;
            out += heatmap_plot(f);
        }
    out += "<h3>Spectra at the TIC apex</h3>\n";
    for (const FunctionQc& f : q.functions) {
        if (!f.apex_scan) continue;
        out += line_plot("apex",
                         fmt::format("Function {}{}: scan {} at {} min{}", f.number, f.lock_mass ? " (lock mass)" : "",
                                     *f.apex_scan, display(f.apex_rt_min), f.apex_binned ? ", binned" : ""),
                         "m/z", "intensity (counts)", {Trace{"spectrum", &f.apex_spectrum, true}});
    }
    return out;
}

std::string run_section(const RunQc& q, const std::string& label, std::size_t index) {
    std::string out;
    auto it = std::back_inserter(out);
    fmt::format_to(it, "<section class=\"run\" id=\"run-{}\"><h2>{}</h2><p class=\"meta\">", index + 1, esc(label));
    if (!q.instrument.empty()) fmt::format_to(it, "instrument {} &middot; ", esc(q.instrument));
    if (!q.acquired.empty()) fmt::format_to(it, "acquired {} &middot; ", esc(q.acquired));
    fmt::format_to(it, "{}</p>\n", esc(text::path_text(q.dir)));
    out += "<h3>Metrics</h3>\n";
    out += run_metrics_table(q, std::span<const RunQc>(&q, 1));
    out += chromatogram_plots(q);
    out += lock_mass_drift(q);
    out += spectrum_plots(q);
    out += "</section>\n";
    return out;
}

constexpr std::string_view kStyle = R"(
body{font-family:sans-serif;margin:1.5em;color:#222;max-width:1300px}
h1{font-size:1.5em}h2{border-bottom:1px solid #ccc;padding-bottom:.2em}h3{font-size:1.05em;color:#444}
figure.plot{display:inline-block;vertical-align:top;width:100%;max-width:600px;margin:.3em 1em .8em 0}
svg.plot{width:100%;height:auto;font-size:11px;background:#fff}
svg .title{font-size:14px;font-weight:bold}svg .label{font-size:12px}svg .small{font-size:9px}
svg .axis{stroke:#333;fill:none}svg .grid{stroke:#e4e4e4;fill:none}
svg .trace{fill:none;stroke-width:1.2}
.scroll{overflow-x:auto}
figcaption{font-size:12px;margin-left:3em}.key{margin-right:1.2em;white-space:nowrap}
.key i{display:inline-block;width:10px;height:10px;margin-right:4px}
table.metrics{border-collapse:collapse;font-size:12px}
table.metrics th,table.metrics td{border:1px solid #ccc;padding:3px 6px;text-align:right}
table.metrics thead th{background:#f0f0f0;vertical-align:bottom}
.meta,.note{color:#555}
)";

}  // namespace

}  // namespace kestrune::qc

namespace kestrune {

std::string qc_html(std::span<const RunQc> runs) {
    using namespace qc;
    const std::vector<std::string> labels = run_labels(runs);
    std::string out;
    auto it = std::back_inserter(out);
    std::string names;
    for (const auto& l : labels) names += (names.empty() ? "" : ", ") + l;
    fmt::format_to(it,
                   "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Quality report: {}</title>"
                   "<style>{}</style></head><body>\n<h1>Quality report</h1>\n<p class=\"meta\">{} run{}, written by "
                   "kestrune {}</p>\n",
                   esc(names), kStyle, runs.size(), runs.size() == 1 ? "" : "s", KESTRUNE_VERSION_STRING);
    if (runs.size() > 1) {
        out += "<h2>Metrics</h2>\n";
        out += metrics_table(runs, labels);
        out += "<h2>Metrics across runs</h2>\n";
        out += trend_plots(runs, labels);
    }
    for (std::size_t i = 0; i < runs.size(); ++i) out += run_section(runs[i], labels[i], i);
    out += "<script type=\"application/json\" id=\"qc-metrics\">";
    out += metrics_json(runs, labels);
    out += "</script>\n</body></html>\n";
    return out;
}

}  // namespace kestrune
