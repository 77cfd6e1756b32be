// A signature file's text on any bytes: decoded as the check decodes it, and a decoded signature
// checked against a key made at start over the text itself, as the check runs it over a manifest.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "patcher/manifest.h"

namespace {

unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    if (sodium_init() < 0 || crypto_sign_keypair(publicKey, secretKey) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<std::string> signature = ostrel::signatureFromText(text);
    if (!signature) return 0;
    if (signature->size() != crypto_sign_BYTES) std::abort();
    // Nothing the fuzzer makes is a signature by a key it does not hold.
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature->data()), data,
                                    size, publicKey) == 0)
        std::abort();
    return 0;
}
