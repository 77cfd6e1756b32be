// A user as the password and group databases know it, and a process giving up root to become that
// user.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kelvorn::linux_backend {

struct UserAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups, the primary one included
    std::string name;
    std::string home;
    std::string shell;
};

// None when `uid` has no entry in the password database.
std::optional<UserAccount> lookUpAccount(uid_t uid);

// The user's runtime folder, where the user's own bus listens.
std::string runtimeFolder(uid_t uid);

// Drops root for good: groups, then group, then user; and checks that root cannot come back (a
// process that could take it back ends at once). False, with `why`, when it could not become the
// user.
bool becomeUser(const UserAccount& account, std::string& why);

}  // namespace kelvorn::linux_backend
