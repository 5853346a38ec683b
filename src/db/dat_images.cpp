#include "db/dat_images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "db/dat_io.h"

namespace tallysv {

DatImages readDatImages(const std::string& directory) {
    DatImages images;
    const PendingSave pending = readPendingSave(directory);
    std::array<int, kDatFileCount> fds;
    fds.fill(-1);
    for (size_t i = 0; i < kDatFileCount; ++i)
        fds[i] = ::open(datPathToRead(directory, static_cast<DatFile>(i), pending).c_str(),
                        O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    for (size_t i = 0; i < kDatFileCount; ++i) {
        if (fds[i] < 0) continue;
        std::vector<uint8_t> bytes;
        struct stat info;
        if (::fstat(fds[i], &info) == 0 && info.st_size > 0) bytes.reserve(static_cast<size_t>(info.st_size));
        uint8_t buffer[1 << 16];
        for (;;) {
            ssize_t n = ::read(fds[i], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        ::close(fds[i]);
        images[i] = std::move(bytes);
    }
    return images;
}

}  // namespace tallysv
