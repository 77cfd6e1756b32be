// Reading a whole file that someone else may have written, without waiting and within a bound.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace corvant {

// The bytes of the regular file at `path` (a link followed), when it holds at most `maxBytes`.
// None for a missing file, a folder, a FIFO, a device or a socket, a larger file (also one that
// grows past the bound while it is read), or a read error. The file is opened without waiting, so
// a FIFO without a writer or a device cannot hold the caller up, and never becomes a controlling
// terminal.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace corvant
