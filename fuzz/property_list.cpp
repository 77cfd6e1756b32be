// The property-list reader on any bytes: parsed, described, written back as XML and read again.
// Built twice: as XML (inputs that would be read as binary are skipped) and as binary (every input
// gets the binary header in front).
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/format.h"
#include "common/plist.h"
#include "common/plist_screen.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
#ifdef KO_FUZZ_BINARY
    if (!corvant::looksLikeBinaryPropertyList(bytes)) bytes.insert(0, "bplist00");
#else
    if (corvant::looksLikeBinaryPropertyList(bytes)) return -1;
#endif
    const auto value = corvant::parsePropertyList(bytes);
    if (!value) return 0;
    corvant::describe(*value);
    const std::string xml = corvant::toXmlPropertyList(*value);
    if (!xml.empty()) corvant::parsePropertyList(xml);
    return 0;
}
