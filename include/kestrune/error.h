/// @file
/// The library's one error type and its result alias.
#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "kestrune/config.h"
#include "kestrune/expected.h"

namespace kestrune {

/// A failed operation of the library: an I/O failure, a content problem
/// found by a parser or a lookup, an argument the operation cannot take, a
/// write the library refuses to make, or one of those wrapped in a context
/// text naming the file or scan being worked on.
///
/// Callers act on the kind of the cause (`cause()`), never on the text:
/// the command-line tool's exit status and the Python exception types come
/// from it.
class KESTRUNE_API Error {
public:
    /// What went wrong.
    enum class Kind : unsigned char {
        Io,      ///< The operating system refused a request, or a file ended early.
        Parse,   ///< A file's content could not be read.
        Context,  ///< Another error, with a text naming what was being done.
        /// An argument the operation cannot take: an option out of range, a
        /// function, scan or channel the run does not have, a selection that
        /// matches nothing.
        InvalidArgument,
        /// A write the library will not make: an output that would land in a
        /// run directory being read, two outputs on one file.
        Refused
    };

    /// An operating-system failure, keeping its error number.
    static Error io(int os_errno);
    /// An operating-system failure from an error code, keeping its value.
    static Error io(std::error_code ec);
    /// A read that ended before the requested byte count.
    static Error io_short_read();
    /// A content problem described by `message`.
    static Error parse(std::string message);
    /// `inner`, wrapped in the text `context`.
    static Error context(std::string context, Error inner);
    /// An argument the operation cannot take, described by `message`.
    static Error invalid_argument(std::string message);
    /// A write refused, described by `message`.
    static Error refused(std::string message);

    /// Moves the error.
    Error(Error&&) noexcept = default;
    /// Moves the error.
    Error& operator=(Error&&) noexcept = default;
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    ~Error() = default;

    /// The kind of failure.
    Kind kind() const noexcept { return kind_; }
    /// The kind of the innermost error, below every Context: what went wrong.
    Kind cause() const noexcept;
    /// Parse, InvalidArgument, Refused: the message; Context: the context
    /// text; Io: empty.
    const std::string& text() const noexcept { return text_; }
    /// The wrapped error of a Context error, else nullptr.
    const Error* inner() const noexcept { return inner_.get(); }
    /// The OS error number of an Io error, 0 for a short read or other kinds.
    int os_errno() const noexcept { return os_errno_; }

    /// The display text: "I/O error: ...", "parse error: ...", the message
    /// alone for InvalidArgument and Refused, or "<context>: <inner display
    /// text>".
    std::string to_string() const;

private:
    Error(Kind kind, std::string text, int os_errno, std::unique_ptr<Error> inner) noexcept
        : kind_(kind), os_errno_(os_errno), text_(std::move(text)), inner_(std::move(inner)) {}

    Kind kind_;
    int os_errno_ = 0;
    std::string text_;
    std::unique_ptr<Error> inner_;
};

/// The value of a fallible operation, or its Error.
template <class T>
using Result = expected<T, Error>;

}  // namespace kestrune
