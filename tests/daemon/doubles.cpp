#include "doubles.h"

namespace kelvorn::testing {

std::shared_ptr<FakeEntry> makeDevice(const DeviceShape& shape) {
    auto serial = std::make_shared<FakeEntry>();
    serial->properties = {
        {"IOTTYBaseName", shape.baseName},
        {"IOTTYSuffix", shape.suffix},
        {kDeviceNodeProperty, "/dev/" + shape.card + "-" + shape.baseName + shape.suffix}};
    serial->name = shape.card + "/" + shape.baseName + shape.suffix;
    auto entry = serial;
    for (int depth = 0; depth <= shape.height; ++depth) {
        if (shape.idsDepth == depth) {
            if (!shape.vendor.isAbsent()) entry->properties["idVendor"] = shape.vendor;
            if (!shape.product.isAbsent()) entry->properties["idProduct"] = shape.product;
        }
        if (depth == shape.height) break;
        entry->parentEntry = std::make_shared<FakeEntry>();
        entry = entry->parentEntry;
        entry->name = shape.card + "/" + std::to_string(depth + 1);
    }
    return serial;
}

std::shared_ptr<DeviceIterator> FakeRegistry::addMatchingNotification(const std::string& type,
                                                                      const std::string& className,
                                                                      Handler handler) {
    registrations.push_back(type + " " + className);
    if (type == kFirstMatchNotification) {
        onArrival = handler;
        firstArrivals = std::make_shared<FakeBatch>(present);
        return firstArrivals;
    }
    onRemoval = handler;
    return std::make_shared<FakeBatch>();
}

bool FakeRegistry::deliver(Handler& handler, std::vector<std::shared_ptr<RegistryEntry>> entries) {
    FakeBatch batch(std::move(entries));
    if (!handler) return false;
    handler(batch);
    return batch.drained();
}

corvant::Dictionary cardList(const std::vector<CardRow>& rows) {
    corvant::Dictionary root;
    for (const auto& row : rows) {
        auto& family = root[row[0]];
        if (!family.is<corvant::Dictionary>()) family = corvant::Dictionary{};
        auto& suffix = (*family.as<corvant::Dictionary>())[row[1]];
        if (!suffix.is<corvant::Dictionary>()) suffix = corvant::Dictionary{};
        auto& vendor = (*suffix.as<corvant::Dictionary>())[row[2]];
        if (!vendor.is<corvant::Dictionary>()) vendor = corvant::Dictionary{};
        (*vendor.as<corvant::Dictionary>())[row[3]] = "Modem";
    }
    return root;
}

}  // namespace kelvorn::testing
