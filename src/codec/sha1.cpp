#include "codec/sha1.h"

#include <new>

#include <openssl/evp.h>

namespace kestrune::codec {

namespace {
EVP_MD_CTX* ctx_of(void* p) noexcept { return static_cast<EVP_MD_CTX*>(p); }
}  // namespace

Sha1::Sha1() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_of(ctx_), EVP_sha1(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx_of(ctx_));
        throw std::bad_alloc();
    }
}

Sha1::~Sha1() { EVP_MD_CTX_free(ctx_of(ctx_)); }

void Sha1::update(const void* data, std::size_t size) noexcept {
    // Cannot fail once initialised with a software digest.
    EVP_DigestUpdate(ctx_of(ctx_), data, size);
}

std::array<std::uint8_t, 20> Sha1::digest() const {
    std::array<std::uint8_t, 20> out{};
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned int n = 0;
    const bool ok =
        copy && EVP_MD_CTX_copy_ex(copy, ctx_of(ctx_)) == 1 && EVP_DigestFinal_ex(copy, out.data(), &n) == 1;
    EVP_MD_CTX_free(copy);
    if (!ok || n != out.size()) throw std::bad_alloc();
    return out;
}

std::string Sha1::hex_digest() const {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : digest()) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

}  // namespace kestrune::codec
