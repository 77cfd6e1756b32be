// Where the supported-card list and installer.ini are: in the registered client bundle when it lies
// under the Applications folder, else in the bundle installer.ini names, else at the default place.
#include "daemon/card_list_locator.h"

#include <utility>

#include "common/format.h"
#include "daemon/card_list.h"
#include "daemon/installer_ini.h"

namespace kelvorn {

namespace {

constexpr const char* kCardListInBundle =
    "Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/MBConfig/MDCardList";
constexpr const char* kInstallerINIInBundle =
    "Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/Directory/installer.ini";
constexpr const char* kInstallerINIInHome =
    "/Library/Application Support/Corvant/Solvane/Directory/installer.ini";

constexpr const char* kBundleTrustedLine =
    "Since LSFindApplication function returned a value starting with /Application/, Considering "
    "the path formed in the previous log as correct.";

}  // namespace

CardListLocator::CardListLocator(ApplicationFinder& applications, CardListPlaces places,
                                 LogLine log)
    : applications_(applications), places_(std::move(places)), log_(std::move(log)) {}

std::string CardListLocator::cardListPathInBundleOf(const std::string& applicationName) const {
    return places_.applicationsFolder + "/" + applicationName + ".app/" + kCardListInBundle;
}

bool CardListLocator::isUnderApplications(const std::string& path) const {
    const std::string prefix = places_.applicationsFolder + "/";
    return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

// The console user's home folder from the password database; a user without an entry there keeps
// the users folder and the short name.
std::string CardListLocator::userFolder(const std::optional<std::string>& user) const {
    if (user && places_.homeFolderOf) {
        if (auto home = places_.homeFolderOf(*user)) return *home;
    }
    return places_.usersFolder + "/" + corvant::describe(optionalText(user));
}

std::string CardListLocator::cardListPath(const std::optional<std::string>& user) const {
    std::optional<std::string> candidate;
    if (auto bundle = applications_.findApplicationForBundleIdentifier(kClientBundleIdentifier)) {
        candidate = *bundle + "/" + kCardListInBundle;
    }
    log("USER", 2, "Initiall MDCardList Path got is %@", optionalText(candidate));
    if (candidate && isUnderApplications(*candidate) && corvant::fileExists(*candidate)) {
        log("USER", 2, kBundleTrustedLine);
        return *candidate;
    }
    log("USER", 2,
        "Since LSFindApplication function returned a wrong value, Checking for installer.ini and "
        "contructing MDCardList path");
    if (const auto installerINI = installerINIPath(user)) {
        return cardListPathFor(applicationNameIn(installerINI));
    }
    return cardListPathInBundleOf(kDefaultApplicationName);
}

std::optional<std::string> CardListLocator::installerINIPath(
    const std::optional<std::string>& user) const {
    std::optional<std::string> candidate;
    if (auto bundle = applications_.findApplicationForBundleIdentifier(kClientBundleIdentifier)) {
        candidate = *bundle + "/" + kInstallerINIInBundle;
    }
    log("USER", 2, "Initaill Installer.ini Path got using LSFindApplicationForInfo is  %@",
        optionalText(candidate));
    if (candidate && isUnderApplications(*candidate)) {
        // A bundle under the Applications folder is trusted: the per-user file is not consulted.
        log("USER", 2, kBundleTrustedLine);
        if (corvant::fileExists(*candidate)) return candidate;
        return std::nullopt;
    }
    log("USER", 2,
        "Since LSFindApplication function returned a wrong value, constructing installer.ini path "
        "and checking if file exists");
    const std::string perUser = userFolder(user) + kInstallerINIInHome;
    log("USER", 2, "Constructed Installer.ini path %@", perUser);
    if (corvant::fileExists(perUser)) {
        log("USER", 2, "Installer.ini Final Path got is  %@", perUser);
        return perUser;
    }
    log("USER", 2,
        "Installer.ini was not present in the location printed above, nor it was found under "
        "cient's directory files folder");
    return std::nullopt;
}

std::optional<LocatedCardList> CardListLocator::locate(
    const std::optional<std::string>& user) const {
    const std::string path = cardListPath(user);
    if (!isCardListPresent(path)) return std::nullopt;
    log("DEBUG", 2, "MDCardlist File Present, Path Got is %@", path);
    auto cardList = readCardList(path);
    const int families = cardList ? static_cast<int>(cardList->size()) : 0;
    log("DEBUG", 2, "No of Families supported by Daemon Process : %i", families);
    return LocatedCardList{path, cardList ? std::move(*cardList) : corvant::Dictionary()};
}

std::string CardListLocator::applicationNameIn(
    const std::optional<std::string>& installerINIPath) const {
    log("USER", 2, "Parsing Application Name from Installer.ini path :%@",
        optionalText(installerINIPath));
    return readApplicationNameValue(installerINIPath).value_or(kDefaultApplicationName);
}

std::string CardListLocator::cardListPathFor(
    const std::optional<std::string>& applicationName) const {
    log("USER", 2, "Contructing MDCardlist path using Application Name %@",
        optionalText(applicationName));
    const std::string path =
        cardListPathInBundleOf(applicationNameFromValue(applicationName.value_or("")));
    log("USER", 2, "Final MDCardList path got is %@", path);
    return path;
}

bool CardListLocator::isCardListPresent(const std::optional<std::string>& path) const {
    log("USER", 2, "Checking if MBConfig file exits at path %@", optionalText(path));
    return path && corvant::fileExists(*path);
}

}  // namespace kelvorn
