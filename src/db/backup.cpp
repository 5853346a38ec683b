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

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

void removeFolder(const std::string& folder) {
    for (const std::string& name : entries(folder)) ::unlink((folder + "/" + name).c_str());
    ::rmdir(folder.c_str());
}

// Copies one file, flushed to the disk.
Status copyFile(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Status::fromErrno(to);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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
    for (const std::string& name : entries(datPath(directory, kBackupFolder)))
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
    auto failed = [&](Status status) {
        removeFolder(building);
        return status;
    };

    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return failed(Status::fromErrno(folder));
    // What a generation cut short by a crash left behind.
    for (const std::string& entry : entries(folder))
        if (entry.size() > kNameLength && entry.compare(kNameLength, std::string::npos, kTemporarySuffix) == 0)
            removeFolder(folder + "/" + entry);
    if (::mkdir(building.c_str(), 0777) != 0) return failed(Status::fromErrno(building));
    for (size_t i = 0; i < kDatFileCount; ++i) {
        const char* file = datLayout(static_cast<DatFile>(i)).fileName;
        std::string live = datPath(directory, file);
        std::string kept = building + "/" + file;
        if (policy.links && ::link(live.c_str(), kept.c_str()) == 0) continue;
        if (Status copied = copyFile(live, kept); !copied) return failed(copied);
    }
    syncDirectory(building);
    // Complete generations appear under their name in one step.
    if (::rename(building.c_str(), finalPath.c_str()) != 0) return failed(Status::fromErrno(finalPath));
    syncDirectory(folder);

    generations.push_back(name);
    std::sort(generations.begin(), generations.end());
    generations.erase(std::unique(generations.begin(), generations.end()), generations.end());
    size_t excess = generations.size() > static_cast<size_t>(policy.keep) ? generations.size() - policy.keep : 0;
    for (size_t i = 0; i < excess; ++i) removeFolder(folder + "/" + generations[i]);
    if (excess > 0) syncDirectory(folder);
    return Status::ok();
}

}  // namespace tallysv
