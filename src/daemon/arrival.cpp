// Serial devices that appear: read their names and USB ids, check them against the card list, and
// tell the running client application of a supported one, or start the client.
#include <algorithm>
#include <utility>

#include "common/places.h"
#include "daemon/card_list.h"
#include "daemon/commands.h"
#include "daemon/daemon.h"
#include "daemon/device_reading.h"
#include "daemon/installer_ini.h"
#include "daemon/support_check.h"

namespace kelvorn {

namespace {

constexpr const char* kDeviceAddedNotification = "Supported device added";
constexpr unsigned kWakeSettlingSeconds = 10;

// A launch name must name a bundle in the applications folder itself, not one elsewhere.
bool staysInApplicationsFolder(std::string_view name) {
    return name.find('/') == std::string_view::npos && name != "..";
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
        state.activity = kWatching;
        publishStatus();
    }
    // Read once per batch and never kept, so an edited list takes effect at the next batch.
    corvant::Dictionary cardList;
    const std::optional<std::string>& path = state.MDCardListPath;
    if (path && corvant::fileExists(*path)) {
        // There but unreadable: the batch's devices find no family, and the next batch reads it
        // again, without start-up's lines.
        if (auto read = readCardList(*path)) cardList = std::move(*read);
    } else if (auto found = locateCardList()) {
        // Gone from where it was found (the client removed, or installed again under another
        // name): looked for again as start-up does. Where nothing is found, the remembered path
        // stays, and the batch's devices find no family.
        cardList = std::move(*found);
    }
    while (const auto entry = iterator.next()) handleArrivedDevice(entry, cardList);
    // Whatever the batch changed of the status (the card list in use) is announced once.
    publishStatus();
}

void Daemon::handleArrivedDevice(const std::shared_ptr<RegistryEntry>& entry,
                                 const corvant::Dictionary& cardList) {
    const corvant::Value baseNameValue = entry->property("IOTTYBaseName");
    platform_.printer.show(baseNameValue);
    const auto baseName = baseNameOf(baseNameValue);
    log("DEBUG", 2, "BaseName Got from IOReg during device insertion : %@", optionalText(baseName));
    systemLog("BaseName Got from IOReg during device insertion : %s", optionalText(baseName));

    const corvant::Value suffixValue = entry->property("IOTTYSuffix");
    platform_.printer.show(suffixValue);
    const auto suffix = suffixOf(suffixValue);
    log("DEBUG", 2, "Suffix name got from ioreg during device insertion: %@", optionalText(suffix));
    systemLog("Suffix name got from ioreg during device insertion: %s", optionalText(suffix));

    const DeviceIds ids = findDeviceIds(entry);
    const SupportVerdict verdict = checkDevice(cardList, baseName, suffix, ids.vendor, ids.product);
    if (!verdict.supported()) return;
    listSupportedPort(*entry, *baseName, *suffix, ids, verdict.model);

    const auto installerINIPath = getInstallerINIPath();
    if (isSolvaneRunning(installerINIPath)) {
        announceArrival();
        rememberCard(ids);
    } else if (launchClient(installerINIPath)) {
        rememberCard(ids);
    }
}

Daemon::DeviceIds Daemon::findDeviceIds(const std::shared_ptr<RegistryEntry>& entry) {
    const IdSearch search = searchDeviceIds(entry);
    if (!search.probable) {
        log("USER", 0, "Did Not Find VID and PID From IOREG in most probable search");
        // Every device whose probable search fails gets the full walk, also when an earlier
        // device of the same batch was found by the probable search.
        log("USER", 2, "Traversing full tree to find VID, PID Value");
    }
    DeviceIds ids{search.vendor, search.product, search.entry};
    if (ids.entry) recordDeviceIds(ids);
    return ids;
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

SupportVerdict Daemon::checkDevice(const corvant::Dictionary& cardList,
                                   const std::optional<std::string>& baseName,
                                   const std::optional<std::string>& suffix,
                                   const corvant::Value& vendorId,
                                   const corvant::Value& productId) {
    SupportVerdict verdict = lookUpDevice(cardList, baseName, suffix, vendorId, productId);
    switch (verdict.decidedAt) {
        case SupportStep::Family:
            log("DEBUG", 2,
                "%@ family is not supported by Solvane , Please change the config file "
                "accordingly",
                optionalText(baseName));
            break;
        case SupportStep::Suffix:
            log("DEBUG", 2,
                "%@ suffix is not supported by %@ family by Solvane , Please change the config "
                "file accordingly",
                optionalText(suffix), optionalText(baseName));
            break;
        case SupportStep::Vendor:
            log("DEBUG", 2,
                "vendor id is not supported by Solvane , please reconfigure MDCardlist.plist");
            break;
        case SupportStep::Product:
            log("DEBUG", 2, "Found Supported Vendor ID");
            log("DEBUG", 2,
                "Product id is not supported by Solvane , please reconfigure MDCardlist.plist");
            log("USER", 0, "DEVICE NOT SUPPORTED");
            break;
        case SupportStep::Supported:
            log("DEBUG", 2, "Found Supported Vendor ID");
            log("DEBUG", 2, "Found Supported Product id found");
            log("USER", 0, "DEVICE SUPPORTED");
            break;
    }
    return verdict;
}

bool Daemon::checkIfDeviceIsSupported(const corvant::Dictionary& cardList,
                                      const std::optional<std::string>& baseName,
                                      const std::optional<std::string>& suffix,
                                      const corvant::Value& vendorId,
                                      const corvant::Value& productId) {
    return checkDevice(cardList, baseName, suffix, vendorId, productId).supported();
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
    const bool posted = platform_.notifications.postNotification(kDeviceAddedNotification,
                                                                 information, kPostToAllSessions);
    systemLog("finished executing post notification");
    log("USER", 2, "Device Inserted Distributed Notification posting done");
    if (!posted) logPostFailure(kDeviceAddedNotification);
    state.deviceinserted = true;
}

void Daemon::logPostFailure(const char* name) {
    log("USER", 1, "%@ could not be posted, not even after connecting again", name);
}

void Daemon::rememberCard(const DeviceIds& ids) {
    if (!ids.entry) return;
    const std::string identity = ids.entry->identity();
    for (const auto& card : state.announcedCards) {
        if (card.idsEntry == identity) return;
    }
    state.announcedCards.push_back({identity, ids.vendor, ids.product});
    state.deviceinserted = true;
}

// The card whose ids were found where the arrival handler's search finds them for `entry`.
std::optional<DaemonState::AnnouncedCard> Daemon::forgetCardOf(
    const std::shared_ptr<RegistryEntry>& entry) {
    const std::shared_ptr<RegistryEntry> idsEntry = searchDeviceIds(entry).entry;
    if (!idsEntry) return std::nullopt;
    auto& cards = state.announcedCards;
    const auto found = std::find_if(cards.begin(), cards.end(), [&](const auto& card) {
        return card.idsEntry == idsEntry->identity();
    });
    if (found == cards.end()) return std::nullopt;
    auto card = *found;
    cards.erase(found);
    return card;
}

// Listed before the client hears of it, so that a client asking on the signal finds the port.
void Daemon::listSupportedPort(const RegistryEntry& entry, const std::string& baseName,
                               const std::string& suffix, const DeviceIds& ids,
                               const std::string& model) {
    std::string identity = entry.identity();
    auto& ports = state.supportedPorts;
    // A port reported twice without a removal between stays listed once, where it was.
    for (const auto& port : ports) {
        if (port.identity == identity) return;
    }
    const corvant::Value node = entry.property(kDeviceNodeProperty);
    const auto* device = node.as<std::string>();
    ports.push_back({std::move(identity), ids.entry ? ids.entry->identity() : std::string(),
                     *ids.vendor.as<std::int64_t>(), *ids.product.as<std::int64_t>(),
                     device ? *device : std::string(), baseName, suffix, model});
    if (observer_) observer_->portListed(ports.back());
}

bool Daemon::launchClient(const std::optional<std::string>& installerINIPath) {
    // The login screen is up, or no session is active: there is nobody to start the client for.
    if (!state.CurrentUser) {
        log("USER", 2, "Nobody at the console, hence not launching the application");
        return false;
    }
    if (const auto value = readApplicationNameValue(installerINIPath)) {
        const std::string name = applicationNameFromValue(*value);
        if (!staysInApplicationsFolder(name)) {
            log("USER", 2, "%@ does not name an application inside %@, hence not launching it",
                *value, places_.applicationsFolder);
            return false;
        }
        const std::string command = launchCommand(places_.applicationsFolder, name);
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
    return true;
}

}  // namespace kelvorn
