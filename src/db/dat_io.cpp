#include "db/dat_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tallysv {

namespace {

constexpr size_t kReadChunk = 1 << 20;
constexpr size_t kWriteChunk = 1 << 20;
constexpr size_t kFirstWriteBuffer = 64 << 10;

}  // namespace

FolderDescriptor::FolderDescriptor(const std::string& directory) {
    fd_ = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) error_ = errno;
}

FolderDescriptor::FolderDescriptor(int parent, const std::string& name) {
    fd_ = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0) error_ = errno;
}

FolderDescriptor::FolderDescriptor(int parent, const std::string& name, OwnersLinks) : FolderDescriptor(parent, name) {
    if (fd_ >= 0 || (error_ != ELOOP && error_ != ENOTDIR)) return;
    auto trusted = [](const struct stat& info) { return info.st_uid == ::geteuid() || info.st_uid == 0; };
    struct stat link;
    if (::fstatat(parent, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode) || !trusted(link))
        return;
    int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat target;
    if (fd < 0) return;
    if (::fstat(fd, &target) != 0 || !trusted(target) || (target.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    error_ = 0;
}

FolderDescriptor::~FolderDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int FolderDescriptor::open(const std::string& name, int flags, mode_t mode) const {
    if (fd_ < 0) {
        errno = error_;
        return -1;
    }
    return ::openat(fd_, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool FolderDescriptor::hasFile(const std::string& name) const {
    struct stat info;
    return fd_ >= 0 && ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

std::vector<std::string> FolderDescriptor::names() const {
    std::vector<std::string> names;
    if (fd_ < 0) return names;
    // The listing gets a descriptor of its own, which closedir() closes.
    int listed = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0) return names;
    DIR* dir = ::fdopendir(listed);
    if (!dir) {
        ::close(listed);
        return names;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

void FolderDescriptor::sync() const {
    if (fd_ >= 0) ::fsync(fd_);
}

Status writeAll(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status::fromErrno();
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return Status::ok();
}

std::string datPath(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    if (directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

DatReader::DatReader(const DatLayout& layout) : layout_(layout) {}

DatReader::~DatReader() {
    if (fd_ >= 0) ::close(fd_);
}

bool DatReader::openFile(const std::string& path) {
    // Not blocking on a pipe or device that happens to carry the name;
    // only a regular file is a database file.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    sizeHint_ = static_cast<size_t>(info.st_size);
    // The files are read whole and in order: let the kernel fetch them
    // from the disk ahead, all eight at once, while earlier ones are parsed.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
    // A small file gets a buffer of its own size, not a whole chunk.
    size_t recordsPerChunk = std::min(kReadChunk, sizeHint_ + 1) / static_cast<size_t>(layout_.recordSize) + 1;
    buffer_.resize(recordsPerChunk * static_cast<size_t>(layout_.recordSize) + static_cast<size_t>(layout_.recordSize));
    data_ = buffer_.data();
    position_ = end_ = 0;
    atEnd_ = false;
    return true;
}

void DatReader::openBytes(const uint8_t* bytes, size_t size) {
    data_ = bytes;
    position_ = 0;
    end_ = size;
    atEnd_ = true;
    sizeHint_ = size;
}

void DatReader::fill(size_t wanted) {
    if (available() >= wanted || atEnd_ || fd_ < 0) return;
    // Keep the unread bytes (less than a record) at the front.
    size_t left = available();
    std::memmove(buffer_.data(), buffer_.data() + position_, left);
    position_ = 0;
    end_ = left;
    while (end_ < buffer_.size()) {
        ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A read error ends the file as the end would.
            atEnd_ = true;
            break;
        }
        end_ += static_cast<size_t>(n);
        if (end_ >= wanted && end_ % static_cast<size_t>(layout_.recordSize) == 0) break;
    }
}

void DatReader::readHeader(uint8_t* out) {
    size_t size = static_cast<size_t>(layout_.headerSize);
    fill(size);
    size_t n = available() < size ? available() : size;
    std::memset(out, 0, size);
    if (n > 0) std::memcpy(out, data_ + position_, n);
    position_ += n;
}

const uint8_t* DatReader::next() {
    size_t size = static_cast<size_t>(layout_.recordSize);
    fill(size);
    size_t n = available();
    if (n >= size) {
        const uint8_t* record = data_ + position_;
        position_ += size;
        return record;
    }
    position_ = end_;
    if (n <= static_cast<size_t>(layout_.lastFieldOffset)) return nullptr;
    partial_.fill(0);
    std::memcpy(partial_.data(), data_ + end_ - n, n);
    return partial_.data();
}

const char* openFailureReason(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return "File or path not found";
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return "Tried to open read-only file for writing, or file\xE2\x80\x99s sharing mode does not allow specified "
                   "operations, or given path is directory";
        case EEXIST:
            return "_O_CREAT and _O_EXCL flags specified, but filename already exists";
        case EINVAL:
            return "Invalid oflag or pmode argument";
        case EMFILE:
        case ENFILE:
            return "No more file handles available (too many open files)";
        default:
            return "Unknown error";
    }
}

const char* writeFailureReason(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return "No space left on the disk; the old file is kept";
        case EIO:
            return "Input/output error; the old file is kept";
        default:
            return "Could not be written; the old file is kept";
    }
}

DatWriter::~DatWriter() { discard(); }

Status DatWriter::open(const std::string& directory, const char* fileName) {
    temporaryName_ = std::string(fileName) + kTemporarySuffix;
    temporaryPath_ = datPath(directory, temporaryName_);
    folder_ = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        error_ = errno;
        temporaryPath_.clear();
        return Status::systemError(error_);
    }
    fd_ = ::openat(folder_, temporaryName_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd_ < 0) {
        error_ = errno;
        // Nothing was made: what is in the way (a link) is not ours to remove.
        temporaryPath_.clear();
        return Status::systemError(error_);
    }
    // The buffer grows to a whole chunk only for a file that needs it, so
    // that saving a small set touches little memory.
    buffer_.resize(kFirstWriteBuffer);
    used_ = 0;
    error_ = 0;
    return Status::ok();
}

void DatWriter::flushBuffer() {
    if (used_ > 0 && error_ == 0) error_ = writeAll(fd_, buffer_.data(), used_).error();
    used_ = 0;
}

uint8_t* DatWriter::reserve(size_t n) {
    if (used_ + n > buffer_.size() && buffer_.size() < kWriteChunk)
        buffer_.resize(std::min(kWriteChunk, std::max(2 * buffer_.size(), used_ + n)));
    if (used_ + n > buffer_.size()) flushBuffer();
    uint8_t* space = buffer_.data() + used_;
    used_ += n;
    return space;
}

Status DatWriter::finish() {
    if (fd_ < 0) return Status::failure("not open");
    flushBuffer();
    if (error_ == 0 && ::fsync(fd_) != 0) error_ = errno;
    if (::close(fd_) != 0 && error_ == 0) error_ = errno;
    fd_ = -1;
    buffer_ = {};
    return error_ == 0 ? Status::ok() : Status::systemError(error_);
}

bool DatWriter::replace(const char* fileName) {
    if (folder_ < 0 || temporaryName_.empty()) {
        errno = EBADF;
        return false;
    }
    return ::renameat(folder_, temporaryName_.c_str(), folder_, fileName) == 0;
}

void DatWriter::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporaryPath_.empty() && folder_ >= 0) ::unlinkat(folder_, temporaryName_.c_str(), 0);
    temporaryPath_.clear();
    if (folder_ >= 0) ::close(folder_);
    folder_ = -1;
}

PendingSave readPendingSave(const std::string& directory) {
    PendingSave pending;
    FolderDescriptor folder(directory);
    int fd = folder.open(kCommitFileName, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return pending;
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        ::close(fd);
        return pending;
    }
    pending.present = true;
    char line[64];
    // Only the eight known names are taken from the record: it never names a path.
    while (std::fgets(line, sizeof line, file)) {
        size_t n = std::strcspn(line, "\r\n");
        DatFile dat;
        if (datFileFromName(std::string_view(line, n), dat)) pending.files[static_cast<size_t>(dat)] = true;
    }
    std::fclose(file);
    return pending;
}

Status writePendingSave(const std::string& directory, const PendingSave& pending) {
    std::string text;
    for (size_t i = 0; i < kDatFileCount; ++i)
        if (pending.files[i]) text += std::string(datLayout(static_cast<DatFile>(i)).fileName) + "\n";
    std::string finalPath = datPath(directory, kCommitFileName);
    std::string temporary = finalPath + kTemporarySuffix;
    const std::string temporaryName = std::string(kCommitFileName) + kTemporarySuffix;
    FolderDescriptor folder(directory);
    int fd = folder.open(temporaryName, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return Status::fromErrno(temporary);
    Status status = writeAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (status && ::fsync(fd) != 0) status = Status::fromErrno(temporary);
    if (::close(fd) != 0 && status) status = Status::fromErrno(temporary);
    if (status && ::renameat(folder.fd(), temporaryName.c_str(), folder.fd(), kCommitFileName) != 0)
        status = Status::fromErrno(finalPath);
    if (!status) {
        ::unlinkat(folder.fd(), temporaryName.c_str(), 0);
        return status;
    }
    folder.sync();
    return Status::ok();
}

void removePendingSave(const std::string& directory) {
    FolderDescriptor folder(directory);
    if (!folder.isOpen()) return;
    ::unlinkat(folder.fd(), kCommitFileName, 0);
    folder.sync();
}

std::string datPathToRead(const std::string& directory, DatFile file, const PendingSave& pending) {
    const std::string name = datLayout(file).fileName;
    if (pending.present && pending.files[static_cast<size_t>(file)] &&
        FolderDescriptor(directory).hasFile(name + kTemporarySuffix))
        return datPath(directory, name + kTemporarySuffix);
    return datPath(directory, name);
}

bool settleInterruptedSave(const std::string& directory) {
    PendingSave pending = readPendingSave(directory);
    bool acted = pending.present;
    FolderDescriptor folder(directory);
    if (!folder.isOpen()) return acted;
    const int at = folder.fd();
    for (size_t i = 0; i < kDatFileCount; ++i) {
        const std::string name = datLayout(static_cast<DatFile>(i)).fileName;
        const std::string temporary = name + kTemporarySuffix;
        // A link in place of a temporary file is no file of a save: left alone.
        if (!folder.hasFile(temporary)) continue;
        acted = true;
        if (pending.present && pending.files[i]) {
            if (::renameat(at, temporary.c_str(), at, name.c_str()) != 0) ::unlinkat(at, temporary.c_str(), 0);
        } else {
            ::unlinkat(at, temporary.c_str(), 0);
        }
    }
    ::unlinkat(at, (std::string(kCommitFileName) + kTemporarySuffix).c_str(), 0);
    if (acted) {
        folder.sync();
        if (pending.present) removePendingSave(directory);
    }
    return acted;
}

void syncDirectory(const std::string& directory) {
    int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace tallysv
