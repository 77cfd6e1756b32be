#include "kelvornctl/check.h"

#include "common/format.h"
#include "daemon/device_reading.h"

namespace kelvornctl {

namespace {

std::string text(const std::optional<std::string>& value) {
    return value.value_or("(null)");
}

}  // namespace

std::vector<PortCheck> checkPorts(
    const std::vector<std::shared_ptr<kelvorn::RegistryEntry>>& entries,
    const corvant::Dictionary& cardList) {
    std::vector<PortCheck> checks;
    for (const auto& entry : entries) {
        PortCheck port;
        const corvant::Value node = entry->property(kelvorn::kDeviceNodeProperty);
        if (const auto* device = node.as<std::string>()) port.device = *device;
        port.baseName = kelvorn::baseNameOf(entry->property("IOTTYBaseName"));
        port.suffix = kelvorn::suffixOf(entry->property("IOTTYSuffix"));
        const kelvorn::IdSearch ids = kelvorn::searchDeviceIds(entry);
        port.vendor = ids.vendor;
        port.product = ids.product;
        port.verdict =
            kelvorn::lookUpDevice(cardList, port.baseName, port.suffix, port.vendor, port.product);
        checks.push_back(std::move(port));
    }
    return checks;
}

std::string verdictText(const PortCheck& port) {
    const auto vendor = kelvorn::decimalText(port.vendor);
    const auto product = kelvorn::decimalText(port.product);
    switch (port.verdict.decidedAt) {
        case kelvorn::SupportStep::Family:
            return "family " + text(port.baseName) + " not in the card list";
        case kelvorn::SupportStep::Suffix:
            return "suffix " + text(port.suffix) + " not listed for " + text(port.baseName);
        case kelvorn::SupportStep::Vendor:
            if (!vendor) {
                return "no vendor id found above the port, none can be listed for " +
                       text(port.baseName) + "/" + text(port.suffix);
            }
            return "vendor " + *vendor + " not listed for " + text(port.baseName) + "/" +
                   text(port.suffix);
        case kelvorn::SupportStep::Product:
            if (!product) return "no product id found, none can be listed under vendor " + *vendor;
            return "product " + *product + " not listed under vendor " + *vendor;
        case kelvorn::SupportStep::Supported:
            return port.verdict.model.empty() ? "supported"
                                              : "supported: Model " + port.verdict.model;
    }
    return {};
}

}  // namespace kelvornctl
