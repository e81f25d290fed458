/// @file
/// The values a Run hands out: run header, instrument settings, functions,
/// statistics, decoded scans and chromatogram channels. Plain data owned by
/// the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

/// How a function's scans are stored in its data file.
enum class Encoding : std::uint8_t {
    A = 0,  ///< 6-byte records (22-byte index).
    B = 1,  ///< 8-byte ion-mobility records (30-byte index, SYNAPT instruments).
    C = 2,  ///< 8-byte records (30-byte index, other instruments).
    D = 3   ///< 8-byte records (22-byte index).
};

/// The letter of an encoding: "A", "B", "C" or "D".
inline std::string_view encoding_name(Encoding e) noexcept {
    constexpr std::string_view names[] = {"A", "B", "C", "D"};
    return static_cast<std::size_t>(e) < 4 ? names[static_cast<std::size_t>(e)] : "?";
}

/// How a function's spectra hold their peaks.
enum class Representation : std::uint8_t {
    Centroid,  ///< One point per peak.
    Profile    ///< Peak shapes sampled along the m/z axis.
};

/// "centroid" or "profile".
inline std::string_view representation_name(Representation r) noexcept {
    return r == Representation::Profile ? "profile" : "centroid";
}

/// The m/z calibration of one function.
struct Calibration {
    /// The calibration's form.
    enum class Type : std::uint8_t {
        T0 = 0,  ///< No polynomial: m/z follows from the flight time alone.
        T1 = 1   ///< The polynomial of `coefficients` is applied.
    };
    Type type = Type::T0;              ///< The form.
    std::vector<double> coefficients;  ///< Constant term first; empty when uncalibrated.
};

/// The run header (_HEADER.TXT). Absent entries were not in the file.
struct Header {
    std::optional<std::string> version;             ///< "Version".
    std::optional<std::string> acquired_name;       ///< "Acquired Name".
    std::optional<std::string> acquired_date;       ///< "Acquired Date".
    std::optional<std::string> acquired_time;       ///< "Acquired Time".
    std::optional<std::string> instrument;          ///< "Instrument".
    std::optional<std::string> user_name;           ///< "User Name" (the operator).
    std::optional<std::string> sample_description;  ///< "Sample Description".
    /// The calibration lines, by function number.
    std::map<std::uint32_t, Calibration> calibration;
};

/// Electrospray polarity.
enum class Polarity : std::uint8_t {
    Positive,  ///< ES+.
    Negative   ///< ES-.
};

/// What a function acquires, from its section of the instrument settings.
enum class FunctionKind : std::uint8_t {
    TofMs = 0,      ///< Survey (MS1) scans.
    Parent = 1,     ///< Parent (precursor) scans, MS level 2.
    Msms = 2,       ///< MS/MS scans, MS level 2.
    Daughter = 3,   ///< Daughter (product ion) scans, MS level 2.
    Reference = 4,  ///< Lock-mass reference scans.
    Other = 5       ///< Anything else.
};

/// One function's section of the instrument settings.
struct FunctionSettings {
    std::uint32_t number = 0;                    ///< The function number (1-based).
    FunctionKind kind = FunctionKind::Other;     ///< What the function acquires.
    double start_mass = 0.0;                     ///< Start of the acquired mass range.
    double end_mass = 0.0;                       ///< End of the acquired mass range.
    std::optional<double> set_mass;              ///< The set mass, when given.
    std::optional<double> adc_pusher_frequency;  ///< The ADC pusher frequency, when given.
};

/// The instrument settings (_extern.inf).
struct Settings {
    double lteff_mm = 0.0;                      ///< Effective flight length, mm.
    double veff_v = 0.0;                        ///< Effective flight voltage, V.
    std::optional<double> pusher_interval_us;   ///< Pusher interval, us, when given.
    std::optional<Polarity> polarity;           ///< Polarity, when given.
    /// The function sections, by function number.
    std::map<std::uint32_t, FunctionSettings> functions;
};

/// One acquisition function: its record of the function table (_FUNCTNS.INF)
/// and, when its index and data files exist, what the run knows of its scans.
struct Function {
    std::uint32_t number = 0;         ///< 1-based position in the function table.
    std::uint8_t function_type = 0;   ///< Type byte of the record.
    std::uint8_t scan_subtype = 0;    ///< Subtype byte; bit 7 marks lock mass.
    float cycle_time_s = 0;           ///< Cycle time, s.
    float interscan_delay_s = 0;      ///< Inter-scan delay, s.
    float scan_time_s = 0;            ///< Scan time, s.
    std::uint16_t tof_depth = 0;      ///< TOF depth field.
    float mz_low = 0;                 ///< Low end of the m/z range.
    float mz_high = 0;                ///< High end of the m/z range.
    bool lock_mass = false;           ///< Whether this is a lock-mass (reference) function.
    std::uint8_t ms_level = 1;        ///< 2 for parent, MS/MS and daughter functions, else 1.
    /// Whether the index and data files were found: only then are the
    /// fields below set and the scans readable.
    bool readable = false;
    Encoding encoding = Encoding::A;  ///< The data encoding.
    std::uint64_t scans = 0;          ///< Number of scans.
    Calibration calibration;          ///< The header's calibration, or T0 without one.
    bool calibrated = false;          ///< Whether the header has a calibration line for it.
    bool has_statistics = false;      ///< Whether a readable statistics file exists.
};

/// One per-scan statistics channel of a function (_FUNCnnn.STS).
struct StatisticsChannel {
    std::string name;                          ///< Channel name, e.g. "Collision Energy".
    std::vector<std::optional<double>> values; ///< One value per scan; absent where unreadable.
};

/// The per-scan statistics of one function.
struct Statistics {
    std::vector<StatisticsChannel> channels;  ///< In file order.
};

/// One decoded scan. A Scan passed to ScanCursor::next is reused: its arrays
/// keep their storage from scan to scan.
struct Scan {
    std::uint32_t function = 0;                   ///< Function number (1-based).
    std::uint64_t index = 0;                      ///< Scan number (0-based).
    float rt_min = 0;                             ///< Retention time, minutes.
    std::optional<double> collision_energy;       ///< From the statistics, when present.
    std::optional<double> etd_fragmentation_mode; ///< From the statistics, when present.
    bool ion_mobility = false;                    ///< Whether drift_time_ms is filled (Encoding B).
    std::vector<double> mz;                       ///< m/z of each peak.
    std::vector<float> intensity;                 ///< Intensity of each peak.
    std::vector<double> drift_time_ms;            ///< Drift time of each peak (ion mobility only).
};

/// One chromatogram channel (_CHROMS.INF).
struct Channel {
    std::size_t index = 0;         ///< 0-based channel number.
    std::string name;              ///< Channel name.
    std::string units;             ///< Engineering units; empty when not given.
    double scale_f = 1.0;          ///< Scale factor (reported only; values are not scaled).
    std::uint32_t source_type = 0; ///< Source device type.
};

/// One chromatogram sample.
struct ChromPoint {
    float rt_min = 0;  ///< Retention time, minutes.
    float value = 0;   ///< Value, in the channel's units.
};

}  // namespace kestrune
