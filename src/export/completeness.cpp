#include "export/completeness.h"

#include <fmt/format.h>

#include "export/channels.h"
#include "log.h"
#include "raw/data.h"
#include "reader/lookup.h"
#include "text.h"

namespace kestrune::exporting {

std::optional<std::uint64_t> promised_bytes(const reader::FunctionEntry& e) noexcept {
    if (e.idx.is_variant_a()) return raw::data::index_end(e.idx, e.encoding);
    if (e.idx.size() == 0) return std::nullopt;
    std::uint64_t last = 0;
    for (const auto& rec : e.idx.b()) last = std::max<std::uint64_t>(last, rec.offset);
    if (e.dat_size <= last) return last;
    // Scans of 30-byte indexes are whole 8-byte records.
    const std::uint64_t tail = e.dat_size - last;
    return last + (tail + 7) / 8 * 8;
}

namespace {

// What is wrong with one function, or nothing.
std::optional<std::string> incompleteness(const reader::Reader& r, const raw::functions_inf::FunctionInfo& info) {
    const std::uint32_t n = info.index;
    const reader::FunctionEntry* e = r.function(n);
    if (e == nullptr)
        return fmt::format("function {}: {} or {} missing in {}", n, reader::function_file_name(n, ".IDX"),
                           reader::function_file_name(n, ".DAT"), text::quoted(text::path_text(r.dir())));
    const auto promised = promised_bytes(*e);
    if (!promised || *promised <= e->dat_size) return std::nullopt;
    return fmt::format("function {}: {} holds {} bytes but its index promises {}", n,
                       text::quoted(text::path_text(e->dat_path.filename())), e->dat_size, *promised);
}

}  // namespace

Result<void> check_complete(const reader::Reader& r,
                            const std::function<bool(const raw::functions_inf::FunctionInfo&)>& reads,
                            bool allow_incomplete) {
    for (const auto& info : r.function_table().functions) {
        if (!reads(info)) continue;
        const auto problem = incompleteness(r, info);
        if (!problem) continue;
        if (!allow_incomplete)
            return parse_error(*problem + " (an incomplete copy?); add --allow-incomplete to use what is there");
        log_warn(kTarget, "{}; using what is there", *problem);
    }
    return {};
}

}  // namespace kestrune::exporting
