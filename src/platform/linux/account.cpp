#include "platform/linux/account.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelvorn::linux_backend {

namespace {

std::vector<gid_t> groupsOf(const char* name, gid_t gid) {
    int count = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(name, gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) * 2);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

}  // namespace

std::optional<UserAccount> lookUpAccount(uid_t uid) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->pw_name == nullptr) return std::nullopt;
    return UserAccount{found->pw_uid,
                       found->pw_gid,
                       groupsOf(found->pw_name, found->pw_gid),
                       found->pw_name,
                       found->pw_dir != nullptr ? found->pw_dir : "/",
                       found->pw_shell != nullptr ? found->pw_shell : "/bin/sh"};
}

std::string runtimeFolder(uid_t uid) {
    return "/run/user/" + std::to_string(uid);
}

bool becomeUser(const UserAccount& account, std::string& why) {
    if (setgroups(account.groups.size(), account.groups.data()) != 0 ||
        setresgid(account.gid, account.gid, account.gid) != 0 ||
        setresuid(account.uid, account.uid, account.uid) != 0) {
        why = std::string("could not become the user: ") + std::strerror(errno);
        return false;
    }
    if (setuid(0) == 0 || geteuid() == 0 || getuid() == 0) {
        why = "root could not be given up";
        std::_Exit(1);  // the process must not go on with root within reach
    }
    return true;
}

}  // namespace kelvorn::linux_backend
