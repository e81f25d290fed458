// The core library's one error type (public: kestrune/error.h) and the
// helpers its code returns errors with.
#pragma once

#include <string>

#include "kestrune/error.h"

namespace kestrune {

// Shorthand for returning an error from a function returning Result<T>.
inline unexpected<Error> fail(Error e) { return unexpected<Error>(std::move(e)); }
unexpected<Error> parse_error(std::string message);
inline unexpected<Error> invalid_argument(std::string message) {
    return fail(Error::invalid_argument(std::move(message)));
}

}  // namespace kestrune
