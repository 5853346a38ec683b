#include "control/control_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace tallysv {

namespace {

bool socketAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

std::string errorText(int error) { return std::strerror(error); }

// Whether a server answers at the socket file: a connection is taken, or
// refused only because its queue is full.
bool answers(const sockaddr_un& address) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = errno;
    ::close(fd);
    return result == 0 || error == EAGAIN || error == EINPROGRESS;
}

std::string parentFolder(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

// Removes a private folder of the socket left behind, and what is in it
// (at most a socket), without following a link in its place.
void removePrivateFolder(int parent, const std::string& name) {
    int folder = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return;
    if (DIR* listing = ::fdopendir(folder)) {
        while (dirent* entry = ::readdir(listing))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ::unlinkat(::dirfd(listing), entry->d_name, 0);
        ::closedir(listing);
    } else {
        ::close(folder);
    }
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

void closeDescriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

struct ControlServer::Client {
    int fd = -1;
    ControlPeer peer;
    uint32_t since = 0;  // tick the current phase began
    ControlRequestReader reader;
    bool writing = false;
    std::string out;
    size_t sent = 0;

    ~Client() {
        if (fd >= 0) ::close(fd);
    }
};

ControlServer::ControlServer(const Clock& clock, ControlLimits limits) : clock_(clock), limits_(limits) {}

ControlServer::~ControlServer() { stop(); }

ControlServer::Claim ControlServer::claim(const std::string& path, std::string& reason) {
    sockaddr_un address;
    if (!socketAddress(path, address)) {
        reason = "the path is empty or longer than " + std::to_string(sizeof address.sun_path - 1) + " bytes";
        return Claim::Failed;
    }
    struct stat existing;
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            reason = "a file that is not a socket is in the way";
            return Claim::Failed;
        }
        if (answers(address)) {
            reason = "a running server answers there";
            return Claim::InUse;
        }
        // The file of a server that has gone: nothing listens behind it.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            reason = "cannot remove the stale socket: " + errorText(errno);
            return Claim::Failed;
        }
    }
    // The socket is made in a folder of its own that no one else may enter,
    // given its mode and owner there, and only then renamed to its name: no
    // change of mode or owner is ever made by a name that another user could
    // have replaced with a link.
    const int parent = ::open(parentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
        reason = errorText(errno);
        return Claim::Failed;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    const std::string privateName = "." + name + "." + std::to_string(::getpid());
    int privateFolder = -1;
    int fd = -1;
    auto fail = [&](int error) {
        reason = errorText(error);
        if (fd >= 0) ::close(fd);
        if (privateFolder >= 0) {
            ::unlinkat(privateFolder, name.c_str(), 0);
            ::close(privateFolder);
            ::unlinkat(parent, privateName.c_str(), AT_REMOVEDIR);
        }
        ::close(parent);
        return error == EADDRINUSE ? Claim::InUse : Claim::Failed;
    };
    struct stat folder;
    if (::fstat(parent, &folder) != 0) return fail(errno);
    removePrivateFolder(parent, privateName);  // left by an earlier process of this id
    if (::mkdirat(parent, privateName.c_str(), 0700) != 0) return fail(errno);
    privateFolder = ::openat(parent, privateName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (privateFolder < 0) {
        const int error = errno;
        ::unlinkat(parent, privateName.c_str(), AT_REMOVEDIR);
        return fail(error);
    }
    struct stat privateInfo;
    if (::fstat(privateFolder, &privateInfo) != 0) return fail(errno);
    if (privateInfo.st_uid != ::geteuid() || (privateInfo.st_mode & 077) != 0) return fail(EPERM);
    sockaddr_un bindAddress;
    if (!socketAddress(parentFolder(path) + "/" + privateName + "/" + name, bindAddress) &&
        !socketAddress("/proc/self/fd/" + std::to_string(privateFolder) + "/" + name, bindAddress))
        return fail(ENAMETOOLONG);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(errno);
    // Made with no access for anyone but its owner. No other thread makes
    // files while the server starts.
    const mode_t mask = ::umask(0177);
    int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&bindAddress), sizeof bindAddress);
    int bindError = errno;
    ::umask(mask);
    if (bound != 0) return fail(bindError);
    // The socket must be the one in the private folder (a swap of the
    // folder's name during bind would have put it elsewhere).
    struct stat made;
    if (::fstatat(privateFolder, name.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0) return fail(errno);
    if (!S_ISSOCK(made.st_mode)) return fail(EEXIST);
    if (::fchmodat(privateFolder, name.c_str(), 0600, 0) != 0) return fail(errno);
    // The folder's owner is the socket's owner; a server that may not give
    // files away (not root) leaves it its own.
    if (made.st_uid != folder.st_uid || made.st_gid != folder.st_gid) {
        if (::fchownat(privateFolder, name.c_str(), folder.st_uid, folder.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
        }
    }
    if (::listen(fd, 128) != 0) return fail(errno);
    if (::renameat(privateFolder, name.c_str(), parent, name.c_str()) != 0) return fail(errno);
    ::close(privateFolder);
    privateFolder = -1;
    ::unlinkat(parent, privateName.c_str(), AT_REMOVEDIR);
    ::close(parent);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        reason = errorText(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return Claim::Failed;
    }
    listener_ = fd;
    path_ = path;
    device_ = made.st_dev;
    inode_ = made.st_ino;
    return Claim::Ready;
}

void ControlServer::start(Handler handler) {
    if (listener_ < 0 || thread_.joinable()) return;
    handler_ = std::move(handler);
    stopping_.store(false);
    thread_ = std::thread([this] { serve(); });
}

void ControlServer::stop() {
    stopping_.store(true);
    if (wake_[1] >= 0) {
        char byte = 1;
        (void)!::write(wake_[1], &byte, 1);
    }
    if (thread_.joinable()) thread_.join();
    closeDescriptor(listener_);
    closeDescriptor(wake_[0]);
    closeDescriptor(wake_[1]);
    if (!path_.empty()) {
        // Only the file made here: a server started since in its place keeps
        // its own.
        struct stat now;
        if (::lstat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_)
            ::unlink(path_.c_str());
        path_.clear();
    }
}

void ControlServer::serve() {
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> polled;
    char buffer[4096];
    // Time spent running requests in this pass: it does not count against
    // the other clients' time limits, as they could not be served meanwhile.
    uint32_t busy = 0;
    // Out of descriptors: the listener rests a while instead of waking the
    // loop again and again with connections it cannot take.
    bool acceptResting = false;
    uint32_t restingSince = 0;

    // Best effort: what a refused client is told, if its socket takes it.
    auto refuse = [](int fd, const std::string& error) {
        ControlAnswer answer;
        answer.errors.push_back(error);
        answer.status = kControlRefused;
        const std::string text = encodeControlAnswer(answer);
        (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    };
    auto beginAnswer = [this](Client& client, const ControlAnswer& answer) {
        client.out = encodeControlAnswer(answer);
        client.sent = 0;
        client.writing = true;
        client.since = clock_.tick();
    };
    // False when the client is done with or gone.
    auto writeSome = [](Client& client) {
        while (client.sent < client.out.size()) {
            ssize_t n = ::send(client.fd, client.out.data() + client.sent, client.out.size() - client.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                client.sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        return false;
    };
    auto readSome = [&](Client& client) {
        for (;;) {
            ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            if (n <= 0) return false;  // gone before its request was whole
            switch (client.reader.feed(std::string_view(buffer, static_cast<size_t>(n)))) {
                case ControlRequestReader::State::Partial:
                    continue;
                case ControlRequestReader::State::Complete: {
                    const uint32_t began = clock_.tick();
                    beginAnswer(client, handler_(client.reader.request(), client.peer));
                    answered_.fetch_add(1);
                    busy += clock_.tick() - began;
                    return writeSome(client);
                }
                case ControlRequestReader::State::TooLong:
                case ControlRequestReader::State::Malformed: {
                    ControlAnswer answer;
                    answer.errors.push_back(client.reader.error());
                    answer.status = kControlRefused;
                    beginAnswer(client, answer);
                    return writeSome(client);
                }
            }
        }
    };

    while (!stopping_.load()) {
        polled.clear();
        polled.push_back({wake_[0], POLLIN, 0});
        if (acceptResting && clock_.tick() - restingSince >= 100) acceptResting = false;
        polled.push_back({acceptResting ? -1 : listener_, POLLIN, 0});
        for (const auto& client : clients) polled.push_back({client->fd, static_cast<short>(client->writing ? POLLOUT : POLLIN), 0});
        // With clients, wake often enough to drop the slow ones in time.
        int timeout = clients.empty() && !acceptResting ? -1 : 50;
        if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) break;
        if (polled[0].revents & POLLIN)
            while (::read(wake_[0], buffer, sizeof buffer) > 0) {
            }
        if (stopping_.load()) break;

        busy = 0;
        std::vector<bool> keep(clients.size(), true);
        for (size_t i = 0; i < clients.size(); ++i) {
            Client& client = *clients[i];
            const short events = polled[i + 2].revents;
            if (events == 0) continue;
            if (client.writing)
                keep[i] = writeSome(client);
            else
                keep[i] = readSome(client);
        }
        const uint32_t now = clock_.tick();
        for (size_t i = 0; i < clients.size(); ++i) {
            clients[i]->since += busy;
            if (!keep[i] || now - clients[i]->since < limits_.timeoutMs) continue;
            if (!clients[i]->writing) refuse(clients[i]->fd, "timed out waiting for the whole request");
            keep[i] = false;
        }
        size_t kept = 0;
        for (size_t i = 0; i < clients.size(); ++i)
            if (keep[i]) clients[kept++] = std::move(clients[i]);
        clients.resize(kept);

        if (polled[1].revents & POLLIN) {
            for (;;) {
                int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        acceptResting = true;
                        restingSince = clock_.tick();
                    }
                    break;
                }
                if (clients.size() >= limits_.connections) {
                    refuse(fd, "busy: too many connections, try again");
                    ::close(fd);
                    continue;
                }
                auto client = std::make_unique<Client>();
                client->fd = fd;
                client->since = clock_.tick();
                ucred credentials{};
                socklen_t size = sizeof credentials;
                if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
                    client->peer.uid = credentials.uid;
                    client->peer.pid = credentials.pid;
                } else {
                    // Never taken for root: an unknown caller.
                    client->peer.uid = static_cast<uint32_t>(-1);
                    client->peer.pid = -1;
                }
                clients.push_back(std::move(client));
            }
        }
        connections_.store(clients.size());
    }
    clients.clear();
    connections_.store(0);
}

}  // namespace tallysv
