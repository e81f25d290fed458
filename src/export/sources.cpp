#include "export/sources.h"

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

#include "codec/sha1.h"
#include "text.h"

namespace kestrune::exporting {

namespace {

bool same_time(const struct timespec& a, const struct timespec& b) noexcept {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

Result<SourceFiles> SourceFiles::open(const reader::Reader& r,
                                      const std::vector<const reader::FunctionEntry*>& functions) {
    // In function order, as the lookup by number needs.
    if (!std::is_sorted(functions.begin(), functions.end(),
                        [](const auto* a, const auto* b) { return a->number < b->number; }))
        return parse_error("data files to open are not in function order");
    SourceFiles out;
    out.reader_ = &r;
    for (const reader::FunctionEntry* e : functions) {
        if (out.find(*e) != nullptr) continue;
        auto file = fs::File::open(e->dat_path);
        if (!file) return fail(Error::context(fmt::format("reading {}", e->dat_path), std::move(file.error())));
        struct stat st {};
        if (::fstat(file->fd(), &st) != 0) return fail(Error::context(fmt::format("reading {}", e->dat_path), Error::io(errno)));
        out.sources_.push_back(Source{e, std::move(*file), r.decode_params(*e), st});
    }
    return out;
}

const SourceFiles::Source* SourceFiles::find(const reader::FunctionEntry& e) const noexcept {
    const auto it = std::lower_bound(sources_.begin(), sources_.end(), e.number,
                                     [](const Source& s, std::uint32_t n) { return s.entry->number < n; });
    return it != sources_.end() && it->entry == &e ? &*it : nullptr;
}

Result<void> SourceFiles::decode(const reader::FunctionEntry& e, std::uint64_t scan, fs::Buffer& buffer,
                                 Scan& out) const {
    auto decode = [&]() -> Result<void> {
        const Source* s = find(e);
        if (s == nullptr) return parse_error(fmt::format("function {} was not opened for the export", e.number));
        if (scan >= e.idx.size()) return parse_error(fmt::format("function {} scan {} out of range", e.number, scan));
        const auto [start, length] = raw::data::scan_bytes(e.idx, scan, e.encoding, e.dat_size);
        reader_->trace_scan(e, scan, start, length);
        if (buffer.size() < length) buffer = fs::Buffer(static_cast<std::size_t>(length));
        auto got = s->file.read_full(buffer.data(), static_cast<std::size_t>(length), static_cast<off_t>(start));
        if (!got) return fail(std::move(got.error()));
        if (*got < length) return fail(Error::io_short_read());
        return reader::Reader::decode_bytes(e, s->params, scan, Bytes(buffer.data(), *got), out);
    };
    auto done = decode();
    if (!done)
        return fail(Error::context(fmt::format("{} function {} scan {}", reader_->dir(), e.number, scan),
                                   std::move(done.error())));
    return done;
}

Result<std::string> SourceFiles::sha1(const reader::FunctionEntry& e) const {
    const Source* s = find(e);
    if (s == nullptr) return parse_error(fmt::format("function {} was not opened for the export", e.number));
    codec::Sha1 sha;
    fs::Buffer chunk(std::size_t{1} << 20);
    for (off_t at = 0;;) {
        auto got = s->file.read_full(chunk.data(), chunk.size(), at);
        if (!got) return fail(Error::context(fmt::format("reading {}", e.dat_path), std::move(got.error())));
        sha.update(chunk.data(), *got);
        if (*got < chunk.size()) break;
        at += static_cast<off_t>(*got);
    }
    return sha.hex_digest();
}

Result<void> SourceFiles::check_unchanged() const {
    for (const Source& s : sources_) {
        struct stat now {}, named {};
        const bool same_file = ::fstat(s.file.fd(), &now) == 0 && now.st_size == s.at_open.st_size &&
                               same_time(now.st_mtim, s.at_open.st_mtim);
        const bool same_name = ::stat(s.entry->dat_path.c_str(), &named) == 0 && named.st_dev == s.at_open.st_dev &&
                               named.st_ino == s.at_open.st_ino;
        if (!same_file || !same_name)
            return parse_error(fmt::format(
                "function {}: {} changed while it was exported ({}); nothing was written, export it again",
                s.entry->number, text::quoted(text::path_text(s.entry->dat_path)),
                same_name ? "written to" : "replaced or removed"));
    }
    return {};
}

}  // namespace kestrune::exporting
