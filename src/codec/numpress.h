// MS-Numpress encodings of binary arrays (libmsnumpress): lossy, within the
// bounds below, and much smaller after zlib than the raw values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::codec {

// Each appends the encoded bytes to `out` and returns true, or returns false
// and leaves `out` alone when the encoding cannot hold the values within
// its bound (negative or non-finite values; for linear prediction a bound
// finer than the largest safe fixed point gives; for pic values above
// 2^31 - 1): the caller then writes them losslessly.
// Linear prediction: every value v decodes within ppm × 1e-6 × v of itself.
// The fixed point is 0.5 / (ppm × 1e-6 × the smallest positive value).
bool numpress_linear(std::span<const double> values, double ppm, std::vector<std::uint8_t>& out);
// Positive integer compression: values rounded to the nearest integer
// (error at most 0.5).
bool numpress_pic(std::span<const double> values, std::vector<std::uint8_t>& out);
// Short logged float: log(v + 1) in 16-bit fixed point F = floor(65535 /
// max(1, log(max + 1))); v + 1 decodes within a factor exp(±0.5 / F) of
// itself.
bool numpress_slof(std::span<const double> values, std::vector<std::uint8_t>& out);

}  // namespace kestrune::codec
