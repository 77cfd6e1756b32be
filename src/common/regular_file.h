// Reading a whole file that someone else may have written, without waiting and within a bound;
// writing a whole buffer to an open file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvant {

// The bytes of the regular file at `path` (a link followed), when it holds at most `maxBytes`.
// None for a missing file, a folder, a FIFO, a device or a socket, a larger file (also one that
// grows past the bound while it is read), or a read error. The file is opened without waiting, so
// a FIFO without a writer or a device cannot hold the caller up, and never becomes a controlling
// terminal.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

// Whether a link at `path` itself is followed or makes the read fail.
enum class LinkAtPath { Follow, Refuse };

// Reads the regular file at `path` as readRegularFile does, handing each piece to `take` instead
// of keeping it; `take` returns false to stop. False for what readRegularFile gives none for, and
// when `take` stopped.
bool readRegularFileInPieces(const std::string& path, LinkAtPath link, std::uint64_t maxBytes,
                             const std::function<bool(const char*, std::size_t)>& take);

// Writes all `size` bytes to `descriptor`, going on after short writes and interruptions. False
// on an error, which errno names.
bool writeAll(int descriptor, const char* bytes, std::size_t size);

}  // namespace corvant
