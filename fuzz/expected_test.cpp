// Checks of kestrune::expected as the clang build of the fuzz targets sees
// it: there <expected> is empty and src/expected.h supplies the stand-in.
// Built by fuzz/build.sh with the sanitizers and run by scripts/fuzz.sh, so
// a lost or doubly destroyed value shows up as a leak or a double free.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "error.h"

using kestrune::Error;
using kestrune::expected;
using kestrune::Result;
using kestrune::unexpected;

namespace {

int g_failures = 0;

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                    \
        }                                                                    \
    } while (false)

// Counts live objects, so that every construction is matched by exactly one
// destruction whatever the assignments between value and error do.
struct Counted {
    static inline int live = 0;
    int v;
    explicit Counted(int x) : v(x) { ++live; }
    Counted(const Counted& o) : v(o.v) { ++live; }
    Counted(Counted&& o) noexcept : v(o.v) { ++live; }
    Counted& operator=(const Counted&) = default;
    Counted& operator=(Counted&&) noexcept = default;
    ~Counted() { --live; }
};

Result<int> parse_positive(int x) {
    if (x <= 0) return kestrune::parse_error("not positive: " + std::to_string(x));
    return x;
}

Result<std::optional<std::string>> maybe_name(bool found) {
    if (!found) return std::nullopt;
    return std::string("_FUNC001.DAT");
}

void values_and_errors() {
    const auto ok = parse_positive(3);
    CHECK(ok.has_value());
    CHECK(static_cast<bool>(ok));
    CHECK(*ok == 3);
    CHECK(ok.value() == 3);
    CHECK(ok.value_or(7) == 3);

    auto bad = parse_positive(-2);
    CHECK(!bad);
    CHECK(bad.error().kind() == Error::Kind::Parse);
    CHECK(bad.error().to_string() == "parse error: not positive: -2");
    CHECK(bad.value_or(7) == 7);
    bool threw = false;
    try {
        (void)bad.value();
    } catch (const std::exception&) {
        threw = true;
    }
    CHECK(threw);

    const auto name = maybe_name(true);
    CHECK(name && *name && **name == "_FUNC001.DAT");
    CHECK(name->has_value());
    const auto none = maybe_name(false);
    CHECK(none && !*none);

    expected<std::string, int> from_chars = "abc";
    CHECK(from_chars && from_chars->size() == 3);
    const unexpected<int> code(5);
    expected<std::string, int> from_lvalue_unexpected = code;
    CHECK(!from_lvalue_unexpected && from_lvalue_unexpected.error() == 5);
    expected<std::string, int> defaulted;
    CHECK(defaulted && defaulted->empty());
}

// A value-less result holds success or an error, and moves either.
void void_results() {
    Result<void> ok;
    CHECK(ok.has_value() && static_cast<bool>(ok));
    Result<void> bad = fail(Error::parse("no"));
    CHECK(!bad && bad.error().text() == "no");
    Result<void> moved = std::move(bad);
    CHECK(!moved && moved.error().text() == "no");
    moved = std::move(ok);
    CHECK(moved.has_value());
}

void move_only_values_and_errors() {
    static_assert(!std::is_copy_constructible_v<Result<std::unique_ptr<int>>>);
    static_assert(std::is_move_constructible_v<Result<std::unique_ptr<int>>>);
    static_assert(std::is_copy_constructible_v<expected<int, int>>);
    static_assert(!std::is_constructible_v<expected<std::string, int>, int*>);

    Result<std::unique_ptr<int>> a = std::make_unique<int>(4);
    Result<std::unique_ptr<int>> b = std::move(a);
    CHECK(b && **b == 4);
    std::unique_ptr<int> taken = *std::move(b);
    CHECK(taken && *taken == 4);

    Result<std::unique_ptr<int>> e = kestrune::fail(Error::context("reading x", Error::parse("bad")));
    Result<std::unique_ptr<int>> e2 = std::move(e);
    CHECK(!e2 && e2.error().to_string() == "reading x: parse error: bad");
    Error moved_out = std::move(e2).error();
    CHECK(moved_out.inner() != nullptr);
}

void assignments_keep_objects_balanced() {
    {
        expected<Counted, Counted> v(Counted(1));
        expected<Counted, Counted> e(unexpected<Counted>(Counted(2)));
        v = e;  // value -> error
        CHECK(!v && v.error().v == 2);
        v = expected<Counted, Counted>(Counted(3));  // error -> value
        CHECK(v && v->v == 3);
        expected<Counted, Counted> w(Counted(4));
        v = std::move(w);  // value -> value
        CHECK(v && v->v == 4);
        e = expected<Counted, Counted>(unexpected<Counted>(Counted(5)));  // error -> error
        CHECK(!e && e.error().v == 5);
        auto& self = v;
        v = std::move(self);
        CHECK(v && v->v == 4);
        expected<Counted, Counted> copy(e);
        CHECK(!copy && copy.error().v == 5);
    }
    CHECK(Counted::live == 0);
}

}  // namespace

int main() {
#if defined(__cpp_lib_expected)
    std::puts("expected_test: the standard library has std::expected; checking it instead of the stand-in");
#endif
    values_and_errors();
    void_results();
    move_only_values_and_errors();
    assignments_keep_objects_balanced();
    if (g_failures != 0) {
        std::fprintf(stderr, "expected_test: %d check(s) failed\n", g_failures);
        return 1;
    }
    std::puts("expected_test: ok");
    return 0;
}
