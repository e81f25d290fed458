// Where written bytes go: a file being written, standard output, a caller's
// stream, a string. A sink that fails remembers its first error and takes
// no more bytes; the writer above it asks `failed` where it can stop early.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "error.h"

namespace kestrune::output {

// Bytes gathered before a write to a file or a caller's stream.
inline constexpr std::size_t kWriteBufferBytes = std::size_t{1} << 20;

class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(std::string_view bytes) = 0;
    virtual bool failed() const noexcept { return false; }
};

class StringSink final : public ByteSink {
public:
    void write(std::string_view bytes) override { text.append(bytes); }
    std::string text;
};

}  // namespace kestrune::output
