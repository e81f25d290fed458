// The text of one mzML binary data array: the values, optionally through
// MS-Numpress, then deflate (zlib format), then base64; and the precision
// and compression terms that describe it. One encoder per thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/deflate.h"
#include "codec/numpress.h"
#include "mzml/psi_terms.h"

namespace kestrune::mzml {

struct ArrayEncoding {
    bool compress = true;  // deflate after any numpress encoding
    int level = kDefaultCompressionLevel;
    Numpress numpress = Numpress::None;
    double numpress_ppm = kDefaultNumpressPpm;
};

// Which numpress encoding an array may take.
enum class ArrayRole { Mz, Intensity, Other };

struct EncodedArray {
    term::Term precision;
    term::Term compression;
    std::string_view base64;  // valid until the encoder's next call
};

class ArrayEncoder {
public:
    explicit ArrayEncoder(const ArrayEncoding& encoding);

    // Nothing when deflate fails. An empty array encodes to no text.
    std::optional<EncodedArray> encode(std::span<const double> values, ArrayRole role);
    std::optional<EncodedArray> encode(std::span<const float> values, ArrayRole role);

private:
    // The compression term without and with deflate after it.
    struct Terms {
        term::Term plain;
        term::Term zlib;
    };
    static constexpr Terms kLossless{term::kNoCompression, term::kZlibCompression};

    // The numpress encoding of the values in numpressed_, or nullptr when
    // the array's role takes none or the values do not fit it.
    const Terms* numpress(std::span<const double> values, ArrayRole role);
    EncodedArray empty(const term::Term& precision);
    std::optional<EncodedArray> finish(std::span<const std::uint8_t> bytes, const term::Term& precision,
                                       const Terms& compression);

    ArrayEncoding encoding_;
    codec::Deflater deflater_;
    std::vector<double> widened_;
    std::vector<std::uint8_t> numpressed_;
    std::string text_;
};

}  // namespace kestrune::mzml
