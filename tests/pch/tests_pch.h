// Precompiled for every C++ test file: GoogleTest, GoogleMock and the
// standard headers they all use, parsed once per test program instead of
// once per file.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
