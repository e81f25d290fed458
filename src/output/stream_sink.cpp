#include "output/stream_sink.h"

#include <cerrno>

#include <unistd.h>

#include "output/output_file.h"

namespace kestrune {

FdOutputStream::FdOutputStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

Result<void> FdOutputStream::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(output::write_error(name_, errno));
        }
        bytes.remove_prefix(std::size_t(n));
    }
    return {};
}

}  // namespace kestrune

namespace kestrune::output {

StreamSink::StreamSink(OutputStream& stream) : stream_(stream) { buffer_.reserve(kWriteBufferBytes); }

void StreamSink::hand_on(std::string_view bytes) {
    if (error_ || bytes.empty()) return;
    if (auto ok = stream_.write(bytes); !ok) error_ = std::move(ok.error());
}

void StreamSink::write(std::string_view bytes) {
    if (error_) return;
    if (buffer_.size() + bytes.size() > kWriteBufferBytes) {
        hand_on(buffer_);
        buffer_.clear();
    }
    if (bytes.size() >= kWriteBufferBytes)
        hand_on(bytes);
    else
        buffer_.append(bytes);
}

Result<void> StreamSink::finish() {
    hand_on(buffer_);
    buffer_.clear();
    if (!error_)
        if (auto ok = stream_.flush(); !ok) error_ = std::move(ok.error());
    if (error_) return fail(Error(std::move(*error_)));
    return {};
}

}  // namespace kestrune::output
