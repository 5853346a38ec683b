#include "db/backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "db/dat_io.h"
#include "db/file_records.h"

namespace tallysv {

namespace {

constexpr size_t kNameLength = 15;  // YYYYMMDD-HHMMSS

bool isGenerationName(const std::string& name) {
    if (name.size() != kNameLength || name[8] != '-') return false;
    for (size_t i = 0; i < kNameLength; ++i)
        if (i != 8 && (name[i] < '0' || name[i] > '9')) return false;
    return true;
}

// Seconds since 1970 of a generation name, or -1.
int64_t generationTime(const std::string& name) {
    std::tm t{};
    if (std::sscanf(name.c_str(), "%4d%2d%2d-%2d%2d%2d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                    &t.tm_sec) != 6)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<int64_t>(::timegm(&t));
}

// Removes the generation `name` of the backup folder. What is in it is
// reached only through the generation's own descriptor, so a link left in
// place of a generation is removed itself, and what it points at is never
// touched.
void removeGeneration(const FolderDescriptor& backups, const std::string& name) {
    FolderDescriptor generation(backups.fd(), name);
    if (!generation.isOpen()) {
        struct stat info;
        if (::fstatat(backups.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(info.st_mode))
            ::unlinkat(backups.fd(), name.c_str(), 0);
        return;
    }
    for (const std::string& entry : generation.names()) ::unlinkat(generation.fd(), entry.c_str(), 0);
    ::unlinkat(backups.fd(), name.c_str(), AT_REMOVEDIR);
}

// Copies one file, flushed to the disk; `to` names it in messages.
Status copyFile(const FolderDescriptor& fromFolder, const char* name, const FolderDescriptor& toFolder,
                const std::string& to) {
    int in = fromFolder.open(name, O_RDONLY | O_NONBLOCK);
    if (in < 0) return Status::fromErrno(to);
    int out = toFolder.open(name, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (out < 0) {
        Status failed = Status::fromErrno(to);
        ::close(in);
        return failed;
    }
    std::vector<uint8_t> buffer(1 << 16);
    Status status;
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            status = Status::fromErrno(to);
            break;
        }
        if (n == 0) break;
        if (Status written = writeAll(out, buffer.data(), static_cast<size_t>(n)); !written) {
            status = Status::systemError(written.error(), to);
            break;
        }
    }
    if (status && ::fsync(out) != 0) status = Status::fromErrno(to);
    ::close(in);
    if (::close(out) != 0 && status) status = Status::fromErrno(to);
    return status;
}

}  // namespace

std::string backupGenerationName(int32_t now) {
    std::time_t t = now;
    std::tm parts{};
    ::gmtime_r(&t, &parts);
    char name[32];
    std::strftime(name, sizeof name, "%Y%m%d-%H%M%S", &parts);
    return name;
}

std::vector<std::string> listBackupGenerations(const std::string& directory) {
    std::vector<std::string> generations;
    FolderDescriptor data(directory);
    if (!data.isOpen()) return generations;
    FolderDescriptor backups(data.fd(), kBackupFolder, FolderDescriptor::OwnersLinks{});
    for (const std::string& name : backups.names())
        if (isGenerationName(name)) generations.push_back(name);
    std::sort(generations.begin(), generations.end());  // the names sort by time
    return generations;
}

Status makeBackupGeneration(const std::string& directory, int32_t now, const BackupPolicy& policy) {
    if (policy.intervalMs <= 0 || policy.keep < 1) return Status::ok();
    std::string folder = datPath(directory, kBackupFolder);
    std::vector<std::string> generations = listBackupGenerations(directory);
    if (!generations.empty()) {
        int64_t newest = generationTime(generations.back());
        if ((static_cast<int64_t>(now) - newest) * 1000 < policy.intervalMs) return Status::ok();
    }
    std::string name = backupGenerationName(now);
    std::string finalPath = folder + "/" + name;
    std::string building = finalPath + kTemporarySuffix;
    const std::string buildingName = name + kTemporarySuffix;

    FolderDescriptor data(directory);
    if (!data.isOpen()) return Status::systemError(data.error(), directory.empty() ? "." : directory);
    if (::mkdirat(data.fd(), kBackupFolder, 0777) != 0 && errno != EEXIST) return Status::fromErrno(folder);
    // A link in place of the backup folder is followed only when it is the
    // owner's own (backups kept on another disk); the generations in it never.
    FolderDescriptor backups(data.fd(), kBackupFolder, FolderDescriptor::OwnersLinks{});
    if (!backups.isOpen()) return Status::systemError(backups.error(), folder);
    auto failed = [&](Status status) {
        removeGeneration(backups, buildingName);
        return status;
    };
    // What a generation cut short by a crash left behind.
    for (const std::string& entry : backups.names())
        if (entry.size() > kNameLength && entry.compare(kNameLength, std::string::npos, kTemporarySuffix) == 0)
            removeGeneration(backups, entry);
    if (::mkdirat(backups.fd(), buildingName.c_str(), 0777) != 0) return failed(Status::fromErrno(building));
    FolderDescriptor generation(backups.fd(), buildingName);
    if (!generation.isOpen()) return failed(Status::systemError(generation.error(), building));
    for (size_t i = 0; i < kDatFileCount; ++i) {
        const char* file = datLayout(static_cast<DatFile>(i)).fileName;
        std::string kept = building + "/" + file;
        // Only a regular file is linked: linkat() would link a link itself.
        if (policy.links && data.hasFile(file) && ::linkat(data.fd(), file, generation.fd(), file, 0) == 0) continue;
        if (Status copied = copyFile(data, file, generation, kept); !copied) return failed(copied);
    }
    generation.sync();
    // Complete generations appear under their name in one step.
    if (::renameat(backups.fd(), buildingName.c_str(), backups.fd(), name.c_str()) != 0)
        return failed(Status::fromErrno(finalPath));
    backups.sync();

    generations.push_back(name);
    std::sort(generations.begin(), generations.end());
    generations.erase(std::unique(generations.begin(), generations.end()), generations.end());
    size_t excess = generations.size() > static_cast<size_t>(policy.keep) ? generations.size() - policy.keep : 0;
    for (size_t i = 0; i < excess; ++i) removeGeneration(backups, generations[i]);
    if (excess > 0) backups.sync();
    return Status::ok();
}

}  // namespace tallysv
