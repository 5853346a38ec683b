#include "server/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <charconv>
#include <vector>

namespace tallysv {

namespace {

// The user database's entry for a name or a number; false when it has none.
bool lookUpUser(const std::string& key, bool byNumber, uid_t number, RunAsUser& user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int error = byNumber ? ::getpwuid_r(number, &entry, buffer.data(), buffer.size(), &found)
                         : ::getpwnam_r(key.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error != 0 || found == nullptr) return false;
    user = {entry.pw_uid, entry.pw_gid, entry.pw_name, true};
    return true;
}

}  // namespace

Status findRunAsUser(const std::string& setting, uid_t folderOwner, gid_t folderGroup, RunAsUser& user) {
    if (setting.empty()) {
        // An owner the user database does not list still owns the folder:
        // the server becomes that number, with the folder's group.
        if (!lookUpUser({}, true, folderOwner, user))
            user = {folderOwner, folderGroup, std::to_string(folderOwner), false};
        return Status::ok();
    }
    uid_t number = 0;
    auto [end, error] = std::from_chars(setting.data(), setting.data() + setting.size(), number);
    const bool numeric = error == std::errc() && end == setting.data() + setting.size();
    if (lookUpUser(setting, numeric, number, user)) return Status::ok();
    return Status::failure("RunAsUser names no user of this system: " + setting);
}

Status runWithIdsOf(uid_t uid, gid_t gid, const std::function<void()>& work) {
    if (::setegid(gid) != 0) return Status::fromErrno("setegid");
    if (::seteuid(uid) != 0) {
        Status failed = Status::fromErrno("seteuid");
        (void)!::setegid(0);
        return failed;
    }
    work();
    if (::seteuid(0) != 0 || ::setegid(0) != 0) return Status::fromErrno("taking root back");
    return Status::ok();
}

Status becomeUser(const RunAsUser& user) {
    // The groups first, while root may still set them.
    if (user.listed ? ::initgroups(user.name.c_str(), user.gid) != 0 : ::setgroups(0, nullptr) != 0)
        return Status::fromErrno("setting the groups");
    if (::setresgid(user.gid, user.gid, user.gid) != 0) return Status::fromErrno("setresgid");
    if (::setresuid(user.uid, user.uid, user.uid) != 0) return Status::fromErrno("setresuid");
    if (::setuid(0) == 0 || ::geteuid() == 0) return Status::failure("root could be taken back");
    // A change of ids resets whether the process may be dumped to the
    // system's default: it stays undumpable.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    return Status::ok();
}

}  // namespace tallysv
