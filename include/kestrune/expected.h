/// @file
/// kestrune::expected and kestrune::unexpected, the result types of the
/// library: std::expected when the library was built with it
/// (KESTRUNE_STD_EXPECTED), else a small stand-in with the same interface.
//
// libstdc++ 12 declares std::expected only for compilers that define
// __cpp_concepts >= 202002L; clang 14 (used for the fuzzing builds) does not,
// so there <expected> is empty. The stand-in covers what the library uses:
// value or error storage, has_value, operator bool, *, ->, value(), error(),
// value_or, construction from a value or from unexpected<E>, copy and move.
// Which one a build uses is fixed in config.h, so that a caller's type is
// the library's type.
#pragma once

#include "kestrune/config.h"

#if KESTRUNE_STD_EXPECTED
#include <expected>
#if !defined(__cpp_lib_expected)
#error "kestrune was built with std::expected: compile with -std=c++23 (or later) and the same standard library"
#endif

namespace kestrune {
using std::expected;
using std::unexpected;
}  // namespace kestrune

#else

#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

namespace kestrune {

/// @cond DETAIL
template <class E>
class unexpected {
public:
    template <class Err = E>
        requires(!std::is_same_v<std::remove_cvref_t<Err>, unexpected> &&
                 !std::is_same_v<std::remove_cvref_t<Err>, std::in_place_t> &&
                 std::is_constructible_v<E, Err>)
    constexpr explicit unexpected(Err&& e) : error_(std::forward<Err>(e)) {}

    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr const E&& error() const&& noexcept { return std::move(error_); }
    constexpr E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};

template <class E>
unexpected(E) -> unexpected<E>;

// Thrown by value() on an expected that holds an error, as the standard one.
class bad_expected_access : public std::exception {
public:
    const char* what() const noexcept override { return "bad access to expected without value"; }
};

namespace detail {
template <class>
inline constexpr bool is_unexpected = false;
template <class E>
inline constexpr bool is_unexpected<unexpected<E>> = true;
}  // namespace detail

template <class T, class E>
class expected {
public:
    using value_type = T;
    using error_type = E;
    using unexpected_type = unexpected<E>;

    constexpr expected()
        requires std::is_default_constructible_v<T>
        : value_(), has_value_(true) {}

    template <class U = T>
        requires(!std::is_same_v<std::remove_cvref_t<U>, expected> &&
                 !std::is_same_v<std::remove_cvref_t<U>, std::in_place_t> &&
                 !detail::is_unexpected<std::remove_cvref_t<U>> && std::is_constructible_v<T, U>)
    constexpr explicit(!std::is_convertible_v<U, T>) expected(U&& v) : value_(std::forward<U>(v)), has_value_(true) {}

    template <class G>
        requires std::is_constructible_v<E, const G&>
    constexpr explicit(!std::is_convertible_v<const G&, E>) expected(const unexpected<G>& u)
        : error_(u.error()), has_value_(false) {}

    template <class G>
        requires std::is_constructible_v<E, G>
    constexpr explicit(!std::is_convertible_v<G, E>) expected(unexpected<G>&& u)
        : error_(std::move(u).error()), has_value_(false) {}

    constexpr expected(const expected& other)
        requires(std::is_copy_constructible_v<T> && std::is_copy_constructible_v<E>)
        : has_value_(other.has_value_) {
        if (has_value_)
            std::construct_at(std::addressof(value_), other.value_);
        else
            std::construct_at(std::addressof(error_), other.error_);
    }

    constexpr expected(expected&& other) noexcept(std::is_nothrow_move_constructible_v<T> &&
                                                  std::is_nothrow_move_constructible_v<E>)
        requires(std::is_move_constructible_v<T> && std::is_move_constructible_v<E>)
        : has_value_(other.has_value_) {
        if (has_value_)
            std::construct_at(std::addressof(value_), std::move(other.value_));
        else
            std::construct_at(std::addressof(error_), std::move(other.error_));
    }

    constexpr expected& operator=(const expected& other)
        requires(std::is_copy_constructible_v<T> && std::is_copy_constructible_v<E> &&
                 std::is_copy_assignable_v<T> && std::is_copy_assignable_v<E>)
    {
        if (this == &other) return *this;
        if (has_value_ && other.has_value_) {
            value_ = other.value_;
        } else if (!has_value_ && !other.has_value_) {
            error_ = other.error_;
        } else {
            destroy();
            if (other.has_value_)
                std::construct_at(std::addressof(value_), other.value_);
            else
                std::construct_at(std::addressof(error_), other.error_);
            has_value_ = other.has_value_;
        }
        return *this;
    }

    constexpr expected& operator=(expected&& other) noexcept(std::is_nothrow_move_constructible_v<T> &&
                                                             std::is_nothrow_move_assignable_v<T> &&
                                                             std::is_nothrow_move_constructible_v<E> &&
                                                             std::is_nothrow_move_assignable_v<E>)
        requires(std::is_move_constructible_v<T> && std::is_move_constructible_v<E> &&
                 std::is_move_assignable_v<T> && std::is_move_assignable_v<E>)
    {
        if (this == &other) return *this;
        if (has_value_ && other.has_value_) {
            value_ = std::move(other.value_);
        } else if (!has_value_ && !other.has_value_) {
            error_ = std::move(other.error_);
        } else {
            destroy();
            if (other.has_value_)
                std::construct_at(std::addressof(value_), std::move(other.value_));
            else
                std::construct_at(std::addressof(error_), std::move(other.error_));
            has_value_ = other.has_value_;
        }
        return *this;
    }

    constexpr ~expected() { destroy(); }

    constexpr bool has_value() const noexcept { return has_value_; }
    constexpr explicit operator bool() const noexcept { return has_value_; }

    constexpr const T* operator->() const noexcept { return std::addressof(value_); }
    constexpr T* operator->() noexcept { return std::addressof(value_); }
    constexpr const T& operator*() const& noexcept { return value_; }
    constexpr T& operator*() & noexcept { return value_; }
    constexpr const T&& operator*() const&& noexcept { return std::move(value_); }
    constexpr T&& operator*() && noexcept { return std::move(value_); }

    constexpr const T& value() const& {
        if (!has_value_) throw bad_expected_access();
        return value_;
    }
    constexpr T& value() & {
        if (!has_value_) throw bad_expected_access();
        return value_;
    }
    constexpr const T&& value() const&& {
        if (!has_value_) throw bad_expected_access();
        return std::move(value_);
    }
    constexpr T&& value() && {
        if (!has_value_) throw bad_expected_access();
        return std::move(value_);
    }

    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr const E&& error() const&& noexcept { return std::move(error_); }
    constexpr E&& error() && noexcept { return std::move(error_); }

    template <class U>
    constexpr T value_or(U&& fallback) const& {
        return has_value_ ? value_ : static_cast<T>(std::forward<U>(fallback));
    }
    template <class U>
    constexpr T value_or(U&& fallback) && {
        return has_value_ ? std::move(value_) : static_cast<T>(std::forward<U>(fallback));
    }

private:
    constexpr void destroy() noexcept {
        if (has_value_)
            std::destroy_at(std::addressof(value_));
        else
            std::destroy_at(std::addressof(error_));
    }

    union {
        T value_;
        E error_;
    };
    bool has_value_;
};

// A value-less result: success, or an error.
template <class E>
class expected<void, E> {
public:
    using value_type = void;
    using error_type = E;
    using unexpected_type = unexpected<E>;

    constexpr expected() noexcept : has_value_(true) {}
    template <class G>
        requires std::is_constructible_v<E, const G&>
    constexpr explicit(!std::is_convertible_v<const G&, E>) expected(const unexpected<G>& u) : has_value_(false) {
        std::construct_at(std::addressof(error_), u.error());
    }
    template <class G>
        requires std::is_constructible_v<E, G>
    constexpr explicit(!std::is_convertible_v<G, E>) expected(unexpected<G>&& u) : has_value_(false) {
        std::construct_at(std::addressof(error_), std::move(u).error());
    }
    constexpr expected(expected&& other) noexcept(std::is_nothrow_move_constructible_v<E>)
        requires std::is_move_constructible_v<E>
        : has_value_(other.has_value_) {
        if (!has_value_) std::construct_at(std::addressof(error_), std::move(other.error_));
    }
    constexpr expected& operator=(expected&& other) noexcept(std::is_nothrow_move_constructible_v<E>)
        requires std::is_move_constructible_v<E>
    {
        if (this == &other) return *this;
        destroy();
        has_value_ = other.has_value_;
        if (!has_value_) std::construct_at(std::addressof(error_), std::move(other.error_));
        return *this;
    }
    constexpr ~expected() { destroy(); }

    constexpr bool has_value() const noexcept { return has_value_; }
    constexpr explicit operator bool() const noexcept { return has_value_; }
    constexpr void operator*() const noexcept {}
    constexpr void value() const {
        if (!has_value_) throw bad_expected_access();
    }
    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr E&& error() && noexcept { return std::move(error_); }

private:
    constexpr void destroy() noexcept {
        if (!has_value_) std::destroy_at(std::addressof(error_));
    }
    union {
        char none_;
        E error_;
    };
    bool has_value_;
};

/// @endcond

}  // namespace kestrune

#endif
