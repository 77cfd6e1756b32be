#include "patcher/sha256.h"

namespace ostrel {

Sha256::Sha256() {
    crypto_hash_sha256_init(&mState);
}

void Sha256::add(const char* bytes, std::size_t size) {
    crypto_hash_sha256_update(&mState, reinterpret_cast<const unsigned char*>(bytes), size);
}

std::string Sha256::hex() {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&mState, digest);
    char text[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(text, sizeof text, digest, sizeof digest);
    return text;
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 digest;
    digest.add(bytes);
    return digest.hex();
}

}  // namespace ostrel
