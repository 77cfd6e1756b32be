// The installer.ini rules on any text: the ApplicationName value and the name made from it.
#include "daemon/installer_ini.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto value = kelvorn::findApplicationNameValue(text)) {
        kelvorn::applicationNameFromValue(*value);
    }
    kelvorn::applicationNameFromValue(text);
    return 0;
}
