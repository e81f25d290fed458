// A caller's OutputStream as a sink: bytes gathered in a buffer and handed
// on in large writes; the first failure is kept and ends the writing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "kestrune/export.h"
#include "output/sink.h"

namespace kestrune::output {

class StreamSink final : public ByteSink {
public:
    explicit StreamSink(OutputStream& stream);
    void write(std::string_view bytes) override;
    bool failed() const noexcept override { return error_.has_value(); }
    // Hands on what is buffered and flushes the stream; the first failure.
    Result<void> finish();

private:
    void hand_on(std::string_view bytes);

    OutputStream& stream_;
    std::string buffer_;
    std::optional<Error> error_;
};

}  // namespace kestrune::output
