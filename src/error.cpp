#include "error.h"

#include <cstring>

namespace kestrune {

Error Error::io(int os_errno) { return Error(Kind::Io, {}, os_errno, nullptr); }

Error Error::io(std::error_code ec) { return io(ec.value()); }

Error Error::io_short_read() { return Error(Kind::Io, {}, 0, nullptr); }

Error Error::parse(std::string message) { return Error(Kind::Parse, std::move(message), 0, nullptr); }

Error Error::context(std::string context, Error inner) {
    return Error(Kind::Context, std::move(context), 0, std::make_unique<Error>(std::move(inner)));
}

Error Error::invalid_argument(std::string message) {
    return Error(Kind::InvalidArgument, std::move(message), 0, nullptr);
}

Error Error::refused(std::string message) { return Error(Kind::Refused, std::move(message), 0, nullptr); }

Error::Kind Error::cause() const noexcept {
    const Error* cur = this;
    while (cur->kind_ == Kind::Context && cur->inner_) cur = cur->inner_.get();
    return cur->kind_;
}

unexpected<Error> parse_error(std::string message) { return fail(Error::parse(std::move(message))); }

namespace {

void append_display(std::string& out, const Error& e) {
    const Error* cur = &e;
    while (cur->kind() == Error::Kind::Context) {
        out += cur->text();
        out += ": ";
        cur = cur->inner();
    }
    if (cur->kind() == Error::Kind::InvalidArgument || cur->kind() == Error::Kind::Refused) {
        out += cur->text();
        return;
    }
    if (cur->kind() == Error::Kind::Parse) {
        out += "parse error: ";
        out += cur->text();
        return;
    }
    out += "I/O error: ";
    if (cur->os_errno() == 0) {
        out += "failed to fill whole buffer";
        return;
    }
    char buf[256];
    // GNU strerror_r: returns a pointer to the text, possibly not buf.
    const char* desc = strerror_r(cur->os_errno(), buf, sizeof buf);
    out += desc;
    out += " (os error ";
    out += std::to_string(cur->os_errno());
    out += ')';
}

}  // namespace

std::string Error::to_string() const {
    std::string out;
    append_display(out, *this);
    return out;
}

}  // namespace kestrune
