#pragma once
#include <sys/types.h>

#include <functional>
#include <string>

#include "core/status.h"

namespace tallysv {

// The user a server started as root becomes.
struct RunAsUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;  // as the user database has it; the number when it has none
    bool listed = false;  // the user database knows the user (its groups are taken from there)
};

// The user `setting` names (a name, or a number), or, when it is empty, the
// owner of the folder described by `folderOwner`/`folderGroup`. A failure
// names a user the system does not know.
Status findRunAsUser(const std::string& setting, uid_t folderOwner, gid_t folderGroup, RunAsUser& user);

// Runs `work` with the effective user and group ids of uid/gid, then takes
// root back: what it reads, root has not read on that user's behalf.
Status runWithIdsOf(uid_t uid, gid_t gid, const std::function<void()>& work);

// Gives root up for good: the user's groups, then its group, then its user
// id, real, effective and saved alike. Fails when any step does, or when
// root could be taken back afterwards.
Status becomeUser(const RunAsUser& user);

}  // namespace tallysv
