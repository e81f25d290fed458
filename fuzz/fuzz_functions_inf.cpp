// _FUNCTNS.INF image -> FunctionTable::from_bytes.
#include "common.h"
#include "raw/functions_inf.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::log_everything();
    const auto table = raw::FunctionTable::from_bytes(Bytes(data, size));
    if (!fuzz::touch(table)) {
        if (size % raw::functions_inf::kRecordSize == 0)
            fuzz::fault("a whole number of records was rejected");
        return 0;
    }
    if (size % raw::functions_inf::kRecordSize != 0) fuzz::fault("a partial record was accepted");
    const auto& functions = table->functions;
    if (functions.size() != size / raw::functions_inf::kRecordSize) fuzz::fault("record count");
    for (std::size_t i = 0; i < functions.size(); ++i) {
        const auto& f = functions[i];
        if (f.index != i + 1) fuzz::fault("function number");
        if (f.is_lock_mass() != ((data[i * raw::functions_inf::kRecordSize + 1] & 0x80) != 0))
            fuzz::fault("lock-mass bit");
        fuzz::touch(f.cycle_time_s);
        fuzz::touch(f.scan_time_s);
        fuzz::touch(f.mz_low);
        fuzz::touch(f.mz_high);
        fuzz::touch(static_cast<double>(f.interscan_delay_s));
    }
    return 0;
}
