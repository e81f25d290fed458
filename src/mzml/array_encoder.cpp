#include "mzml/array_encoder.h"

#include "codec/base64.h"

namespace kestrune::mzml {

using codec::numpress_linear;
using codec::numpress_pic;
using codec::numpress_slof;

namespace {
template <class T>
std::span<const std::uint8_t> as_bytes(std::span<const T> values) {
    return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}
}  // namespace

ArrayEncoder::ArrayEncoder(const ArrayEncoding& encoding) : encoding_(encoding), deflater_(encoding.level) {}

const ArrayEncoder::Terms* ArrayEncoder::numpress(std::span<const double> values, ArrayRole role) {
    static constexpr Terms kLinear{term::kNumpressLinear, term::kNumpressLinearZlib};
    static constexpr Terms kPic{term::kNumpressPic, term::kNumpressPicZlib};
    static constexpr Terms kSlof{term::kNumpressSlof, term::kNumpressSlofZlib};
    const Numpress np = encoding_.numpress;
    numpressed_.clear();
    if (role == ArrayRole::Mz && np != Numpress::None)
        return numpress_linear(values, encoding_.numpress_ppm, numpressed_) ? &kLinear : nullptr;
    if (role == ArrayRole::Intensity && np == Numpress::Pic) return numpress_pic(values, numpressed_) ? &kPic : nullptr;
    if (role == ArrayRole::Intensity && np == Numpress::Slof)
        return numpress_slof(values, numpressed_) ? &kSlof : nullptr;
    return nullptr;
}

std::optional<EncodedArray> ArrayEncoder::encode(std::span<const double> values, ArrayRole role) {
    if (values.empty()) return empty(term::kFloat64);
    if (const Terms* t = numpress(values, role)) return finish(numpressed_, term::kFloat64, *t);
    return finish(as_bytes(values), term::kFloat64, kLossless);
}

std::optional<EncodedArray> ArrayEncoder::encode(std::span<const float> values, ArrayRole role) {
    if (values.empty()) return empty(term::kFloat32);
    if (role == ArrayRole::Intensity && (encoding_.numpress == Numpress::Pic || encoding_.numpress == Numpress::Slof)) {
        widened_.assign(values.begin(), values.end());
        if (const Terms* t = numpress(widened_, role)) return finish(numpressed_, term::kFloat64, *t);
    }
    return finish(as_bytes(values), term::kFloat32, kLossless);
}

// An empty array has no bytes at all, not an empty compressed stream: some
// readers (OpenMS 2.6) fail on a zlib stream that inflates to nothing.
EncodedArray ArrayEncoder::empty(const term::Term& precision) {
    text_.clear();
    return EncodedArray{precision, encoding_.compress ? kLossless.zlib : kLossless.plain, text_};
}

std::optional<EncodedArray> ArrayEncoder::finish(std::span<const std::uint8_t> bytes, const term::Term& precision,
                                                 const Terms& compression) {
    text_.clear();
    if (encoding_.compress) {
        const auto packed = deflater_.compress(bytes);
        if (!packed) return std::nullopt;
        bytes = *packed;
    }
    codec::base64_append(bytes, text_);
    return EncodedArray{precision, encoding_.compress ? compression.zlib : compression.plain, text_};
}

}  // namespace kestrune::mzml
