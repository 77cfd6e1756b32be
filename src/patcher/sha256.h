// SHA-256 fed piece by piece, written as the update manifest lists digests: lower-case hex.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel {

class Sha256 {
  public:
    Sha256();
    void add(const char* bytes, std::size_t size);
    void add(std::string_view bytes) { add(bytes.data(), bytes.size()); }
    // The digest of everything added so far, in lower-case hex; the state is spent afterwards.
    std::string hex();

  private:
    crypto_hash_sha256_state mState;
};

// The SHA-256 of `bytes` in lower-case hex.
std::string sha256Hex(std::string_view bytes);

}  // namespace ostrel
