#include "net/udp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>

#include "core/log.h"

namespace tallysv {

UdpSocket::~UdpSocket() { close(); }

Status UdpSocket::open(uint16_t port) {
    close();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Status::fromErrno();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Status failed = Status::fromErrno();
        ::close(fd);
        return failed;
    }
    fd_ = fd;
    return Status::ok();
}

void UdpSocket::close() {
    writer_.flush();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uint16_t UdpSocket::boundPort() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

void UdpSocket::send(const PeerAddress& to, std::span<const uint8_t> bytes) {
    if (fd_ < 0) return;
    if (batching_) {
        writer_.add(to, bytes);
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr.s_addr, to.address.data(), 4);
    address.sin_port = htons(to.port);
    // Send errors are ignored: the reliable layer resends what matters.
    (void)::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void UdpSocket::endBatch() {
    batching_ = false;
    writer_.flush();
}

int UdpSocket::sendBatch(mmsghdr* datagrams, unsigned count) {
    // Send errors are ignored: the reliable layer resends what matters.
    return ::sendmmsg(fd_, datagrams, count, 0);
}

void UdpSocket::waitWritable() {
    pollfd writable{fd_, POLLOUT, 0};
    (void)::poll(&writable, 1, 100);
}

UdpServer::UdpServer(CoreTransport& transport, UdpSocket& socket, Mutex& lock, const Settings& settings,
                     EventHandler onEvent, CompletionQueue* completions)
    : lock_(lock), transport_(transport), socket_(socket), settings_(settings), onEvent_(std::move(onEvent)),
      completions_(completions) {}

void UdpServer::handleEvents() {
    TransportEvent event;
    while (transport_.nextEvent(event)) {
        if (onEvent_) {
            onEvent_(event);
        } else if (event.kind == TransportEvent::Kind::Message) {
            transport_.reportUnhandled(*event.message);
        }
    }
}

void UdpServer::runCompletions() {
    std::vector<CompletionQueue::Completion> posted = completions_->take();
    if (posted.empty()) return;
    MutexLock guard(lock_);
    LogBatch lines(transport_.log());
    SendBatch sends(socket_);
    for (CompletionQueue::Completion& completion : posted) {
        completion();
        // What it captured goes here, on the loop's thread.
        completion = nullptr;
    }
}

void UdpServer::runTasks() {
    for (CompletionQueue::Completion& task : tasks_.take()) {
        task();
        task = nullptr;
    }
}

void UdpServer::runOnLoop(const std::function<void()>& task) {
    if (!running_.load() || std::this_thread::get_id() == loopThread_.load()) {
        task();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    tasks_.post([&task, done] {
        task();
        done->set_value();
    });
    // A loop that ends before it takes the task leaves it to this thread.
    while (ran.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (!running_.load()) runTasks();
    }
}

UdpServer::~UdpServer() { stop(); }

Status UdpServer::start(uint16_t port) {
    if (thread_.joinable()) stop();
    // A socket bound before start (by root, before it was given up) is kept.
    if (!socket_.isOpen())
        if (Status opened = socket_.open(port); !opened) return opened;
    int pipeEnds[2], nudgeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        Status failed = Status::fromErrno();
        socket_.close();
        return failed;
    }
    if (::pipe2(nudgeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        Status failed = Status::fromErrno();
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        socket_.close();
        return failed;
    }
    wakeRead_ = pipeEnds[0];
    wakeWrite_ = pipeEnds[1];
    nudgeRead_ = nudgeEnds[0];
    nudgeWrite_ = nudgeEnds[1];
    {
        MutexLock guard(lock_);
        transport_.setDeadlineMoved([this] {
            nudged_.store(true);
            // The loop itself looks at the flag before it waits again; any
            // other thread wakes it. A full pipe has a wake-up pending.
            if (std::this_thread::get_id() == loopThread_.load()) return;
            const char byte = 1;
            (void)::write(nudgeWrite_, &byte, 1);
        });
    }
    running_.store(true);
    // Returns once the loop is set up: from then on it allocates only with
    // the lock held, so a thread that forks while holding it (the
    // background save) never copies an allocator the loop is inside.
    std::latch started(1);
    thread_ = std::thread([this, &started] { loop(started); });
    started.wait();
    return Status::ok();
}

void UdpServer::stop() {
    if (thread_.joinable()) {
        running_.store(false);
        // The wake-up byte stays unread, so every later wait returns at once.
        const char byte = 1;
        (void)::write(wakeWrite_, &byte, 1);
        thread_.join();
    }
    // Work that was under way when the workers stopped completes, and so
    // do the tasks posted meanwhile.
    if (completions_) runCompletions();
    runTasks();
    MutexLock guard(lock_);
    transport_.setDeadlineMoved(nullptr);
    {
        SendBatch sends(socket_);
        transport_.stop();
    }
    socket_.close();
    for (int* end : {&wakeRead_, &wakeWrite_, &nudgeRead_, &nudgeWrite_}) {
        if (*end >= 0) ::close(*end);
        *end = -1;
    }
}

namespace {

// Datagrams read from the socket in one call and handed to the transport
// one at a time. One byte more than a datagram may have is room for each,
// so that a longer one is seen and skipped.
class ReceiveBatch {
public:
    static constexpr unsigned kSize = 16;

    ReceiveBatch() {
        for (unsigned i = 0; i < kSize; ++i) {
            vectors_[i] = {buffers_[i], sizeof buffers_[i]};
            headers_[i] = {};
            headers_[i].msg_hdr.msg_iov = &vectors_[i];
            headers_[i].msg_hdr.msg_iovlen = 1;
            headers_[i].msg_hdr.msg_name = &sources_[i];
        }
    }

    // Reads what is queued, up to kSize datagrams, without waiting. False
    // when nothing is queued; true also after an error, with nothing read.
    bool readQueued(int descriptor) {
        next_ = count_ = 0;
        for (unsigned i = 0; i < kSize; ++i) {
            headers_[i].msg_hdr.msg_namelen = sizeof sources_[i];
            headers_[i].msg_hdr.msg_flags = 0;
            headers_[i].msg_len = 0;
        }
        int n = ::recvmmsg(descriptor, headers_, kSize, MSG_DONTWAIT, nullptr);
        if (n < 0) return !(errno == EAGAIN || errno == EWOULDBLOCK);
        count_ = static_cast<unsigned>(n);
        return true;
    }

    bool empty() const { return next_ == count_; }

    // The next datagram read; its length is below 1 or above the largest
    // datagram when it was empty or too long.
    std::span<const uint8_t> take(PeerAddress& from) {
        unsigned i = next_++;
        const sockaddr_in& source = sources_[i];
        std::memcpy(from.address.data(), &source.sin_addr.s_addr, 4);
        from.port = ntohs(source.sin_port);
        size_t length = headers_[i].msg_len;
        if (headers_[i].msg_hdr.msg_flags & MSG_TRUNC) length = sizeof buffers_[i];
        return std::span<const uint8_t>(buffers_[i], length);
    }

private:
    uint8_t buffers_[kSize][CoreTransport::kMaxDatagram + 1];
    sockaddr_in sources_[kSize];
    iovec vectors_[kSize];
    mmsghdr headers_[kSize];
    unsigned next_ = 0;
    unsigned count_ = 0;
};

}  // namespace

int UdpServer::passWait(uint32_t lastPass, std::optional<uint32_t> deadline, uint32_t period, uint32_t now) {
    if (!deadline) return -1;
    // Passes keep their period: the one that handles the deadline is the
    // first at or after it, and never sooner than a period after the last.
    const int64_t ahead = static_cast<int32_t>(*deadline - lastPass);
    const int64_t passes = std::max<int64_t>(1, (ahead + period - 1) / period);
    const int64_t left = static_cast<int32_t>(lastPass + static_cast<uint32_t>(passes * period) - now);
    return static_cast<int>(std::max<int64_t>(left, 0));
}

void UdpServer::loop(std::latch& started) {
    auto batch = std::make_unique<ReceiveBatch>();
    loopThread_.store(std::this_thread::get_id());
    started.count_down();
    bool lowPriority;
    std::optional<uint32_t> deadline;
    const Clock* clockOfTransport;
    {
        MutexLock guard(lock_);
        lowPriority = settings_.lowPriority;
        deadline = transport_.nextDeadline();
        clockOfTransport = &transport_.clock();
    }
    // The clock may be read from any thread.
    const Clock& clock = *clockOfTransport;
    uint32_t lastPass = clock.tick();
    enum { kSocket, kWake, kNudge, kCompletions, kTasks };
    pollfd fds[5] = {{socket_.descriptor(), POLLIN, 0},
                     {wakeRead_, POLLIN, 0},
                     {nudgeRead_, POLLIN, 0},
                     {completions_ ? completions_->descriptor() : -1, POLLIN, 0},
                     {tasks_.descriptor(), POLLIN, 0}};
    while (running_.load()) {
        const uint32_t period = lowPriority ? 100 : 50;
        // Datagrams already queued are read at once, several in one call;
        // only when none are queued does the loop wait, for a datagram, a
        // completion, its next pass or the wake-up of a stop.
        if (batch->empty() && !lowPriority) batch->readQueued(socket_.descriptor());
        if (batch->empty()) {
            for (pollfd& fd : fds) fd.revents = 0;
            if (::poll(fds, 5, passWait(lastPass, deadline, period, clock.tick())) < 0 && errno != EINTR) break;
            if (fds[kWake].revents != 0 || !running_.load()) break;
            if (fds[kNudge].revents != 0) {
                char drain[64];
                while (::read(nudgeRead_, drain, sizeof drain) > 0) {
                }
                nudged_.store(true);
            }
            if (fds[kSocket].revents != 0) {
                if (lowPriority) {
                    // A 10 ms pause that a stop cuts short.
                    pollfd wake{wakeRead_, POLLIN, 0};
                    if (::poll(&wake, 1, 10) > 0) break;
                }
                batch->readQueued(socket_.descriptor());
            }
        }
        if (completions_ && completions_->waiting() > 0) runCompletions();
        if (tasks_.waiting() > 0) runTasks();
        // The datagrams are handled one by one, in order, under one taking
        // of the lock, each one's events acted on before the next; what they
        // make the server send leaves together when the last is handled,
        // and so do the console lines they print. With LowPriority each is
        // handled on its own after its pause.
        if (!batch->empty()) {
            MutexLock guard(lock_);
            LogBatch lines(transport_.log());
            SendBatch sends(socket_);
            while (!batch->empty()) {
                PeerAddress from;
                std::span<const uint8_t> datagram = batch->take(from);
                if (datagram.empty() || datagram.size() > static_cast<size_t>(CoreTransport::kMaxDatagram)) continue;
                transport_.receive(datagram, from, clock.tick());
                handleEvents();
                lowPriority = settings_.lowPriority;
                if (lowPriority) break;
            }
        }
        const uint32_t now = clock.tick();
        const bool due = passWait(lastPass, deadline, period, now) == 0;
        if (!due && !nudged_.load()) continue;
        MutexLock guard(lock_);
        nudged_.store(false);
        if (due) {
            {
                SendBatch sends(socket_);
                transport_.maintain(now);
                handleEvents();
            }
            lastPass = now;
            lowPriority = settings_.lowPriority;
        }
        // Something may have fallen due sooner: the next pass is the one
        // for it.
        deadline = transport_.nextDeadline();
    }
}

}  // namespace tallysv
