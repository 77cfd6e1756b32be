// Where the supported-card list and installer.ini are: in the registered client bundle when it lies
// under the Applications folder, else in the bundle installer.ini names, else at the default place.
#include "common/places.h"
#include "daemon/daemon.h"
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

std::string Daemon::cardListPathForApplication(const std::string& applicationName) const {
    return places_.applicationsFolder + "/" + applicationName + ".app/" + kCardListInBundle;
}

std::string Daemon::defaultCardListPath() const {
    return cardListPathForApplication(kDefaultApplicationName);
}

bool Daemon::isUnderApplications(const std::string& path) const {
    const std::string prefix = places_.applicationsFolder + "/";
    return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

// The console user's home folder from the password database; a user without an entry there keeps
// the users folder and the short name.
std::string Daemon::userFolder() const {
    if (state.CurrentUser && places_.homeFolderOf) {
        if (auto home = places_.homeFolderOf(*state.CurrentUser)) return *home;
    }
    return places_.usersFolder + "/" + corvant::describe(optionalText(state.CurrentUser));
}

std::string Daemon::getMDCardListPath() {
    std::optional<std::string> candidate;
    if (auto bundle =
            platform_.applications.findApplicationForBundleIdentifier(kClientBundleIdentifier)) {
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
    if (const auto installerINI = getInstallerINIPath()) {
        return constructMDCardListPath(parseApplicationNameFromInstallerINIFile(installerINI));
    }
    return defaultCardListPath();
}

std::optional<std::string> Daemon::getInstallerINIPath() {
    std::optional<std::string> candidate;
    if (auto bundle =
            platform_.applications.findApplicationForBundleIdentifier(kClientBundleIdentifier)) {
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
    const std::string perUser = userFolder() + kInstallerINIInHome;
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

std::string Daemon::parseApplicationNameFromInstallerINIFile(
    const std::optional<std::string>& path) {
    log("USER", 2, "Parsing Application Name from Installer.ini path :%@", optionalText(path));
    return readApplicationNameValue(path).value_or(kDefaultApplicationName);
}

std::string Daemon::constructMDCardListPath(const std::optional<std::string>& applicationName) {
    log("USER", 2, "Contructing MDCardlist path using Application Name %@",
        optionalText(applicationName));
    const std::string path =
        cardListPathForApplication(applicationNameFromValue(applicationName.value_or("")));
    log("USER", 2, "Final MDCardList path got is %@", path);
    return path;
}

bool Daemon::issupportedfilepresent(const std::optional<std::string>& path) {
    log("USER", 2, "Checking if MBConfig file exits at path %@", optionalText(path));
    return path && corvant::fileExists(*path);
}

}  // namespace kelvorn
