// Where the supported-card list and installer.ini are, found as the daemon finds them: the daemon
// with its log lines, kelvornctl without.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/places.h"
#include "common/value.h"
#include "daemon/log_line.h"
#include "platform/application_finder.h"

namespace kelvorn {

inline constexpr const char* kApplicationsFolder = "/Applications";
inline constexpr const char* kUsersFolder = "/Users";

// The card list found at its path, with what it holds: empty when it cannot be read.
struct LocatedCardList {
    std::string path;
    corvant::Dictionary cardList;
};

// The folders the location looks in: the fixed real ones unless a test hands in others.
struct CardListPlaces {
    std::string applicationsFolder = kApplicationsFolder;
    std::string usersFolder = kUsersFolder;
    // A user's home folder; none for a user without one, whose folder is then the users folder
    // and the short name.
    std::function<std::optional<std::string>(const std::string& user)> homeFolderOf =
        corvant::homeDirectoryOf;
};

class CardListLocator {
  public:
    // Lines go to `log`, or nowhere when it is empty.
    explicit CardListLocator(ApplicationFinder& applications, CardListPlaces places = {},
                             LogLine log = {});

    // Each question is asked for the console user `user` (none: nobody is logged in).

    // The card list's path: a path is always given, whether or not anything is there.
    std::string cardListPath(const std::optional<std::string>& user) const;
    std::optional<std::string> installerINIPath(const std::optional<std::string>& user) const;
    // The card list at its path, read; none when nothing is there.
    std::optional<LocatedCardList> locate(const std::optional<std::string>& user) const;

    std::string applicationNameIn(const std::optional<std::string>& installerINIPath) const;
    std::string cardListPathFor(const std::optional<std::string>& applicationName) const;
    bool isCardListPresent(const std::optional<std::string>& path) const;

  private:
    template <typename... Args>
    void log(const char* tag, int level, const char* format, const Args&... arguments) const {
        if (!log_) return;
        log_(tag, level, format, std::vector<corvant::Value>{corvant::Value(arguments)...});
    }

    std::string cardListPathInBundleOf(const std::string& applicationName) const;
    bool isUnderApplications(const std::string& path) const;
    std::string userFolder(const std::optional<std::string>& user) const;

    ApplicationFinder& applications_;
    const CardListPlaces places_;
    const LogLine log_;
};

}  // namespace kelvorn
