// Serial devices that appear: read their names and USB ids, check them against the card list, and
// tell the running client application of a supported one, or start the client.
#include "daemon/card_list.h"
#include "daemon/commands.h"
#include "daemon/daemon.h"
#include "daemon/installer_ini.h"

namespace kelvorn {

namespace {

constexpr const char* kNoSuffix = "NO SUFFIX NAME PRESENT IN IOREG";
constexpr const char* kDeviceAddedNotification = "Supported device added";
constexpr unsigned kWakeSettlingSeconds = 10;
// The USB device usually sits four entries above its serial entry.
constexpr int kProbableAncestor = 4;
// The full walk looks at the serial entry and its seven nearest ancestors.
constexpr int kEntriesWalked = 8;

std::optional<std::string> textOf(const corvant::Value& value) {
    if (const auto* text = value.as<std::string>()) return *text;
    return std::nullopt;
}

bool hasProductId(const RegistryEntry& entry) {
    return !entry.property("idProduct").isAbsent();
}

}  // namespace

void Daemon::mycallbacknotifaction(DeviceIterator& iterator) {
    const ReleaseFreedMemoryAfterBatch releaseAfterBatch;
    systemLog("---------- Notification started by some call back------------");
    if (state.didSystemGoToSleep) {
        log("USER", 2,
            "Since system woke up from sleep, checking if user has logged in and add delay of 10 "
            "seconds");
        checkIfUserHasLoggedIn();
        platform_.sleeper.sleepSeconds(kWakeSettlingSeconds);
        state.didSystemGoToSleep = false;
    }
    // Read once per batch and never kept, so an edited list takes effect at the next batch.
    corvant::Dictionary cardList;
    if (state.MDCardListPath) {
        cardList = readCardList(*state.MDCardListPath).value_or(cardList);
    }
    while (const auto entry = iterator.next()) handleArrivedDevice(entry, cardList);
}

void Daemon::handleArrivedDevice(const std::shared_ptr<RegistryEntry>& entry,
                                 const corvant::Dictionary& cardList) {
    const corvant::Value baseNameValue = entry->property("IOTTYBaseName");
    platform_.printer.show(baseNameValue);
    const auto baseName = textOf(baseNameValue);
    log("DEBUG", 2, "BaseName Got from IOReg during device insertion : %@", optionalText(baseName));
    systemLog("BaseName Got from IOReg during device insertion : %s", optionalText(baseName));

    const corvant::Value suffixValue = entry->property("IOTTYSuffix");
    platform_.printer.show(suffixValue);
    auto suffix = textOf(suffixValue);
    if (suffix && suffix->empty()) suffix = kNoSuffix;
    log("DEBUG", 2, "Suffix name got from ioreg during device insertion: %@", optionalText(suffix));
    systemLog("Suffix name got from ioreg during device insertion: %s", optionalText(suffix));

    const DeviceIds ids = findDeviceIds(entry);
    if (!checkIfDeviceIsSupported(cardList, baseName, suffix, ids.vendor, ids.product)) return;

    const auto installerINIPath = getInstallerINIPath();
    if (isSolvaneRunning(installerINIPath)) {
        announceArrival();
    } else {
        launchClient(installerINIPath);
    }
}

Daemon::DeviceIds Daemon::findDeviceIds(const std::shared_ptr<RegistryEntry>& entry) {
    std::shared_ptr<RegistryEntry> ancestor = entry;
    for (int step = 0; step < kProbableAncestor && ancestor; ++step) ancestor = ancestor->parent();
    if (ancestor && hasProductId(*ancestor)) {
        DeviceIds ids{ancestor->property("idVendor"), ancestor->property("idProduct")};
        recordDeviceIds(ids);
        return ids;
    }
    log("USER", 0, "Did Not Find VID and PID From IOREG in most probable search");
    // Every device whose probable search fails gets the full walk, also when an earlier device of
    // the same batch was found by the probable search.
    log("USER", 2, "Traversing full tree to find VID, PID Value");
    DeviceIds lastRead;
    std::shared_ptr<RegistryEntry> current = entry;
    for (int walked = 0; walked < kEntriesWalked && current; ++walked) {
        lastRead = DeviceIds{current->property("idVendor"), current->property("idProduct")};
        if (!lastRead.product.isAbsent()) {
            recordDeviceIds(lastRead);
            return lastRead;
        }
        current = current->parent();
    }
    return lastRead;
}

void Daemon::recordDeviceIds(const DeviceIds& ids) {
    systemLog("vid and pid found");
    systemLog("Vendorid %i", ids.vendor);
    systemLog("Productid %i", ids.product);
    log("USER", 2, "VENDOR ID : %i", ids.vendor);
    log("USER", 2, "PRODUCT ID : %i", ids.product);
    // Without a vendor id there is no user information to form: the last complete ids stay, and
    // the support check rejects the device.
    if (ids.vendor.isAbsent()) return;
    state.tempkeys = corvant::Array{"VID", "PID", "fromDaemon"};
    state.tempvalues = corvant::Array{ids.vendor, ids.product, "YES"};
}

corvant::Dictionary Daemon::userInformation() const {
    corvant::Dictionary information;
    for (std::size_t i = 0; i < state.tempkeys.size() && i < state.tempvalues.size(); ++i) {
        if (const auto* key = state.tempkeys[i].as<std::string>()) {
            information.emplace(*key, state.tempvalues[i]);
        }
    }
    return information;
}

void Daemon::announceArrival() {
    const corvant::Dictionary information = userInformation();
    for (const auto& [key, value] : information) {
        log("USER", 2, "Vid_pid sent when posting notification :key: %@, value: %@", key, value);
    }
    platform_.notifications.postNotification(kDeviceAddedNotification, information,
                                             kPostToAllSessions);
    systemLog("finished executing post notification");
    log("USER", 2, "Device Inserted Distributed Notification posting done");
    state.deviceinserted = true;
}

void Daemon::launchClient(const std::optional<std::string>& installerINIPath) {
    if (const auto value = readApplicationNameValue(installerINIPath)) {
        const std::string command =
            launchCommand(places_.applicationsFolder, launchNameFromValue(*value));
        options_.commands.run(command);
        log("USER", 2, "%@ Not Runnning ,hence launching the application whose path is %@", *value,
            command);
    } else {
        log("USER", 2, "Solvane Not Runnning , hence launching the application");
        options_.commands.run(launchCommand(places_.applicationsFolder, kDefaultApplicationName));
    }
    log("USER", 2,
        "Deamon did not post notification , it just launched the application .\n Supported "
        "Device checking is done in application itself");
    state.deviceinserted = true;
}

}  // namespace kelvorn
