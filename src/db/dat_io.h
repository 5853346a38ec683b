#pragma once
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"
#include "db/file_records.h"

namespace tallysv {

// Writes every byte, resuming after signals.
Status writeAll(int fd, const uint8_t* bytes, size_t size);

// "dir/name", or the name alone for the working folder.
std::string datPath(const std::string& directory, const std::string& name);

// A folder held open while its files are made, replaced and removed. Every
// file is reached by its name within the descriptor, never through a link:
// a link left in place of a file makes the operation fail (ELOOP) instead of
// reaching whatever it points at.
class FolderDescriptor {
public:
    // The working folder when `directory` is empty.
    explicit FolderDescriptor(const std::string& directory);
    // A folder within an open one; a link in its place is not opened.
    FolderDescriptor(int parent, const std::string& name);
    // Where a link in place of the folder is what its owner set up (the
    // backups on another disk): followed only when the link and the folder
    // it leads to belong to this process's user or root, and no one else
    // may write that folder.
    struct OwnersLinks {};
    FolderDescriptor(int parent, const std::string& name, OwnersLinks);
    ~FolderDescriptor();
    FolderDescriptor(const FolderDescriptor&) = delete;
    FolderDescriptor& operator=(const FolderDescriptor&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int error() const { return error_; }
    // openat() of `name` without following a link; -1 with errno on failure.
    int open(const std::string& name, int flags, mode_t mode = 0) const;
    // A regular file (not a link) of that name is there.
    bool hasFile(const std::string& name) const;
    // The names in the folder, "." and ".." left out.
    std::vector<std::string> names() const;
    void sync() const;

private:
    int fd_ = -1;
    int error_ = 0;
};

// Reads the records of one database file, from the file itself or from
// bytes in memory. A short record at the end is taken when it reaches into
// its last field, with its missing bytes zero; otherwise it is dropped.
// Never reads past what the file holds.
class DatReader {
public:
    explicit DatReader(const DatLayout& layout);
    ~DatReader();
    DatReader(const DatReader&) = delete;
    DatReader& operator=(const DatReader&) = delete;

    // False when the file cannot be opened.
    bool openFile(const std::string& path);
    void openBytes(const uint8_t* bytes, size_t size);

    // The header (Ban.dat's last BanID): the bytes present, the rest zero.
    void readHeader(uint8_t* out);
    // The next record, or null at the end of the file.
    const uint8_t* next();
    // Size of the file, when known (for reserving room before reading).
    size_t sizeHint() const { return sizeHint_; }

private:
    size_t available() const { return end_ - position_; }
    void fill(size_t wanted);

    DatLayout layout_;
    int fd_ = -1;
    std::vector<uint8_t> buffer_;
    const uint8_t* data_ = nullptr;
    size_t position_ = 0;
    size_t end_ = 0;
    bool atEnd_ = false;
    size_t sizeHint_ = 0;
    std::array<uint8_t, kLargestRecord> partial_{};
};

// The console text for why a file could not be opened for writing.
const char* openFailureReason(int error);
// The console text for a failure while writing or replacing a file.
const char* writeFailureReason(int error);

// Writes one database file as "<name>.new" beside it, flushed to the disk
// when finished; Database::save renames it over the old file afterwards.
class DatWriter {
public:
    DatWriter() = default;
    ~DatWriter();
    DatWriter(const DatWriter&) = delete;
    DatWriter& operator=(const DatWriter&) = delete;

    // A system error when the file cannot be created.
    Status open(const std::string& directory, const char* fileName);
    // Room for n more bytes (n at most 64 KiB), to be filled at once.
    uint8_t* reserve(size_t n);
    // Writes the rest, flushes to the disk and closes; the first error of
    // the whole writing, if any.
    Status finish();
    // Closes and deletes the file.
    void discard();
    // Forgets the file without deleting it (it has been renamed, or is left
    // as it is).
    void release() { temporaryPath_.clear(); }
    // Renames the finished file over `fileName` in its folder; errno is set
    // on failure.
    bool replace(const char* fileName);

    const std::string& temporaryPath() const { return temporaryPath_; }

private:
    void flushBuffer();

    int fd_ = -1;
    int folder_ = -1;
    int error_ = 0;
    std::string temporaryPath_;
    std::string temporaryName_;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
};

constexpr const char* kTemporarySuffix = ".new";
// Lists the files of a save whose temporary files are all complete; while
// it exists, those files are being renamed into place.
constexpr const char* kCommitFileName = "Save.commit";

struct PendingSave {
    bool present = false;                      // a commit record exists
    std::array<bool, kDatFileCount> files{};   // files it names
};

// Reads the commit record of a save that did not finish its renames.
PendingSave readPendingSave(const std::string& directory);
// Writes the commit record (atomically, flushed).
Status writePendingSave(const std::string& directory, const PendingSave& pending);
void removePendingSave(const std::string& directory);

// The file a load reads for `file`: its temporary file when a commit
// record names it and it is still there, else the file itself.
std::string datPathToRead(const std::string& directory, DatFile file, const PendingSave& pending);

// Before loading: finishes the renames of a committed save, or, without a
// commit record, deletes the temporary files of a save that died before
// committing (the old files are the consistent set). True when anything
// was done.
bool settleInterruptedSave(const std::string& directory);

// Flushes the folder's entries (renames) to the disk.
void syncDirectory(const std::string& directory);

}  // namespace tallysv
