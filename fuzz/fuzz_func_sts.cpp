// _FUNCnnn.STS image -> FuncSts::from_bytes, then every lookup over every
// scan and channel (bounded), as scan decoding asks them.
#include "common.h"
#include "raw/func_sts.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::log_everything();
    const auto sts = raw::FuncSts::from_bytes(Bytes(data, size));
    if (!fuzz::touch(sts)) return 0;
    if (sts->scan_record_size == 0) fuzz::fault("zero record size accepted");
    if (sts->data.size() != sts->n_scans * sts->scan_record_size) fuzz::fault("scan data size");
    if (sts->data.size() > size) fuzz::fault("more scan data than input");

    std::size_t budget = 200000;  // lookups per input
    for (const auto& channel : sts->channels) {
        fuzz::check_utf8(channel.name, "channel name");
        if (channel.value_type > 3) fuzz::fault("channel value type");
        for (std::size_t scan = 0; scan <= sts->n_scans && budget > 0; ++scan, --budget) {
            const auto v = sts->value_at(channel, scan);
            if (scan == sts->n_scans && v) fuzz::fault("value beyond the last scan");
            if (v) fuzz::touch(*v);
        }
        (void)sts->value_at(channel, static_cast<std::size_t>(-1));
    }
    const std::size_t scans = sts->n_scans < budget ? sts->n_scans : budget;
    for (std::size_t scan = 0; scan <= scans; ++scan) {
        if (auto ce = sts->collision_energy(scan)) fuzz::touch(*ce);
        if (auto etd = sts->etd_fragmentation_mode(scan)) fuzz::touch(*etd);
    }
    return 0;
}
