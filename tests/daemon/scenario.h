// The scenario fixture: a temporary root holding the Applications, Users and Library folders, a
// daemon working in it on test doubles, and stub `ps` and `open` first on PATH.
#pragma once

#include <gtest/gtest.h>

#include <map>

#include "doubles.h"

namespace kelvorn::testing {

// Writes `text` to `path`, making the folders it needs.
void writeFile(const std::filesystem::path& path, const std::string& text);

class DaemonScenario : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    Daemon& daemon();
    std::string applications() const { return (root_ / "Applications").string(); }
    std::string users() const { return (root_ / "Users").string(); }
    std::string root() const { return root_.string(); }
    // Puts the client bundle `name` under Applications (or at `bundlePath`) and makes the finder
    // report it; the card list and installer.ini go inside when given.
    std::string installClient(const std::string& bundlePath,
                              const std::optional<corvant::Dictionary>& cards,
                              const std::optional<std::string>& installerINI = std::nullopt);
    std::string cardListIn(const std::string& bundlePath) const;
    void writeUserINI(const std::string& user, const std::string& text);
    // The supported card list in the default client bundle, found at start-up.
    void useDefaultClient(const corvant::Dictionary& cards = cardList({{"ttyUSB", "0", "4817",
                                                                        "5382"}}));
    // The listing of every user's processes, and of one user's (which then stands for theirs).
    void setListing(const std::string& processes);
    void setListingOf(const std::string& user, const std::string& processes);
    // Whose processes each listing was asked for, in turn; empty for every user's.
    std::vector<std::string> listedUsers() const;
    std::vector<std::string> openArguments() const;
    int listings() const;

    std::vector<std::string> messages() const;
    bool logged(const std::string& tag, int level, const std::string& message) const;
    int count(const std::string& message) const;

    Doubles doubles;
    std::vector<LogRecord> records;
    std::function<std::optional<std::string>()> takeServiceName;
    // Hears the changes of the daemon's answers to the bus, when set.
    DeviceQueriesObserver* observer = nullptr;
    std::vector<std::string> exitReasons;
    // The password database's home folders; a user missing here has none.
    std::map<std::string, std::string> homes;

  private:
    std::filesystem::path root_;
    std::string savedPath_;
    std::unique_ptr<Daemon> daemon_;
};

}  // namespace kelvorn::testing
