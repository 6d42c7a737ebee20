// One upgraded connection until its close: frames read from the thread's buffer (or, while it is busy, its own
// small one) and written in batches by the session itself, on the bare socket or through TlsLink. Every member is
// used only on the connection's I/O thread (its io_context runs on one thread, so that thread is the connection's
// strand); a connection kept together with its partner moves to another thread between two reads.
#include "transport/detail/session.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <unistd.h>

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "transport/detail/drain_deferral.hpp"
#include "transport/detail/frame_reader.hpp"
#include "transport/detail/frame_writer.hpp"
#include "transport/detail/guard.hpp"
#include "transport/detail/io_buffer.hpp"
#include "transport/detail/log.hpp"
#include "transport/detail/own_read.hpp"
#include "transport/detail/thread_load.hpp"
#include "transport/detail/tls_link.hpp"
#include "transport/detail/wire_codes.hpp"

namespace rtc::detail {
namespace {

namespace net = boost::asio;
using error_code = boost::system::error_code;

// Where a connection is after the upgrade; it only moves forward.
enum class Phase : unsigned char {
    Open,        // frames both ways
    Closing,     // our close frame is queued or sent; the peer's answer is awaited
    TearingDown, // the peer's close frame has come (or it broke the protocol): once all is written, our end
    Notified,    // TLS: close_notify is queued; FIN once it is written
    Shut,        // FIN sent: what the peer still sends is read and dropped until its end
    Finished,    // onClosed delivered
};

// The ways into a connection's end, all through Session::end.
enum class EndReason : unsigned char {
    None,       // nothing has said yet: a connection that goes now was dropped (1006)
    Closed,     // ours: close(), the server's close, or our outgoing queue over its cap (1008)
    PeerClosed, // the peer's close frame
    PeerFault,  // the peer broke the protocol
    TimedOut,   // silence past the idle timeout, or a closing handshake the peer left unfinished
    Dropped,    // a write or TLS failed, or the server stops: no close frames
};

// How the connection ends. The first close frame's reason (ours, the peer's, or a fault's) gives the close code.
struct Ending {
    EndReason reason = EndReason::None; // None, Closed, PeerClosed or PeerFault
    std::uint16_t code = 0;             // of `reason`; 0 for the peer's close frame without one
    bool timedOut = false;
};

// Ordinary ways for a socket to end; they are not faults.
bool isOrdinaryEnd(error_code ec) {
    return ec == net::error::eof || ec == net::error::operation_aborted || ec == net::error::connection_reset ||
           ec == net::error::broken_pipe || ec == net::ssl::error::stream_truncated || ec == net::error::bad_descriptor;
}

// What a connection the peer's frames failed ends with, for the log.
const char* faultText(std::uint16_t code) {
    switch (code) {
    case close_code::tooBig: return "message too big";
    case close_code::badPayload: return "text that is not UTF-8";
    default: return "protocol error";
    }
}

std::size_t sizeOf(const message_variant& m) {
    return std::visit([](const auto& d) { return d.size(); }, m);
}

// Gives a string's memory back. Assigning an empty string would not: a short string is copied into the
// target's own buffer, which stays as large as it was.
void freeString(std::string& s) { std::string().swap(s); }

// The memory of a connection's wait for input, taken from the heap at its size. Asio's default hands a handler
// the block its thread freed last when that is large enough (the upgrade's response write leaves a much larger
// one), and an idle connection would keep that block for as long as it waits.
template <class T = void> struct WaitAllocator {
    using value_type = T;
    WaitAllocator() = default;
    template <class U> WaitAllocator(const WaitAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) { ::operator delete(p); }
    template <class U> bool operator==(const WaitAllocator<U>&) const { return true; }
};

template <bool tls>
class Session final : public SessionBase,
                      public StoppableSession,
                      public UpgradedSession,
                      public FrameReader::Handler,
                      public OwnReadTarget,
                      public std::enable_shared_from_this<Session<tls>> {
public:
    Session(Upgraded&& upgraded, std::shared_ptr<Shared> shared)
        : tlsKeep_(std::move(upgraded.tlsKeep)), socket_(std::move(upgraded.socket)),
          reader_(shared->settings.maxMessageSize), conn_(std::move(upgraded.connection)), shared_(std::move(shared)),
          home_(&socket_.get_executor().context()), load_(&ThreadLoad::of(*home_)) {
        shared_->sessions.fetch_add(1, std::memory_order_relaxed);
        load_->sessions.fetch_add(1, std::memory_order_relaxed);
    }

    ~Session() override {
        shared_->registry.remove(this);
        shared_->sessions.fetch_sub(1, std::memory_order_relaxed);
        load_->sessions.fetch_sub(1, std::memory_order_relaxed);
    }

    // False when the connection cannot go on.
    bool adopt(SSL* ssl) {
        if constexpr (tls) {
            if (!tls_.adopt(ssl))
                return false;
        }
        error_code ec;
        socket_.non_blocking(true, ec);
        if (ec)
            return false;
        conn_->session = this->weak_from_this();
        shared_->registry.add(this, this->weak_from_this());
        return true;
    }

    void start() override { waitReadable(true); }

    void drop() override {
        conn_->state.store(State::Closed, std::memory_order_release);
        closeSocket();
    }

    // --- called from any thread: post only ---

    void postDrain() override {
        atHome([](Session& self) { self.drain(); });
    }

    void runDrain() override {
        if (home()->get_executor().running_in_this_thread())
            return drain();
        postDrain();
    }

    void postForceClose() override {
        atHome([](Session& self) { self.end(EndReason::Dropped); });
    }

    void postIdleTick() override {
        atHome([](Session& self) { self.idleTick(); });
    }

    // Through the connection's queue, so what was sent before still goes first.
    void postShutdownClose(uint16_t code) override {
        atHome([code](Session& self) { requestClose(*self.conn_, code); });
    }

    net::io_context* home() const override { return home_.load(std::memory_order_acquire); }

    void moveTo(net::io_context& target) override {
        atHome([target = &target](Session& self) { self.askToMove(*target); });
    }

private:
    // Runs `task` on the connection's thread. A task posted just before the connection moved finds the thread
    // it was posted to no longer the connection's, and follows it there.
    template <class Task> void atHome(Task task) {
        net::post(*home(), [self = this->shared_from_this(), task = std::move(task)]() mutable {
            if (!self->home()->get_executor().running_in_this_thread())
                return self->atHome(std::move(task));
            task(*self);
        });
    }

    // --- moving to another thread ---

    // The move waits for the next wait for input, when no operation is under way on the socket: a wait
    // pending now is cancelled to make room for it (what it had read is handled first).
    void askToMove(net::io_context& target) {
        if (phase_ != Phase::Open || &target == home())
            return;
        moveTarget_ = &target;
        interruptRead();
    }

    // Cancels a pending wait for input so that the next one is made afresh (see onRead).
    void interruptRead() {
        if (writing() || readPaused_ || !reading_)
            return;
        rewait_ = true;
        error_code ignored;
        socket_.cancel(ignored);
    }

    // Hands the socket to the target's reactor and reads on there. Only when nothing is under way on the socket,
    // and as the last thing its handler does: from here on the other thread owns the session.
    void moveHome() {
        net::io_context* target = std::exchange(moveTarget_, nullptr);
        if (phase_ != Phase::Open || target == home())
            return issueRead();
        error_code ec;
        const auto protocol = socket_.local_endpoint(ec).protocol();
        if (ec)
            return issueRead(); // the socket is failing: the read says so
        Socket moved(target->get_executor());
        const auto fd = socket_.release(ec);
        if (ec)
            return issueRead();
        moved.assign(protocol, fd, ec);
        if (!ec)
            moved.non_blocking(true, ec);
        if (ec) {
            log(LogLevel::Warning, [&] { return "Moving " + conn_->logName() + " failed: " + ec.message(); });
            ::close(fd);
            return issueRead(); // on the released socket: it fails and finishes the connection
        }
        socket_ = std::move(moved); // the deadline's timer is made only when closing, on the thread of then
        load_->sessions.fetch_sub(1, std::memory_order_relaxed);
        load_ = &ThreadLoad::of(*target);
        load_->sessions.fetch_add(1, std::memory_order_relaxed);
        auto self = this->shared_from_this();
        home_.store(target, std::memory_order_release);
        net::post(*target, [self = std::move(self)] { self->issueRead(); });
    }

    // --- ending ---

    // The one way in to ending the connection. Close frames are queued behind what is queued (an overflow and a
    // fault drop that first); the other reasons take the socket away, and the read loop's end (finish) follows.
    void end(EndReason why, std::uint16_t code = 0) {
        if (phase_ == Phase::Finished)
            return;
        switch (why) {
        case EndReason::Closed:
            if (phase_ != Phase::Open)
                return;
            settle(why, code);
            phase_ = Phase::Closing;
            if (code == close_code::policy) {
                log(LogLevel::Warning, [&] { return "Closing " + conn_->logName() + ": outgoing queue over its cap"; });
                // A peer that does not read gets nothing more; what is queued would only wait for it.
                dropPendingFrames();
            }
            // Queued messages go first, then the close frame; the peer's answer ends the handshake.
            appendClose(frames_, code);
            // Graceful or not, a close that the peer stalls is forced after the deadline.
            armDeadline(shared_->settings.closeDeadline);
            return flushOutput();
        case EndReason::PeerClosed:
        case EndReason::PeerFault:
            // The peer's close is answered with its code after what is queued; a fault is told to the peer
            // with nothing before it. Then, once written, TLS's close_notify and our FIN.
            settle(why, code);
            if (why == EndReason::PeerFault)
                dropPendingFrames();
            if (phase_ == Phase::Open) {
                appendClose(frames_, code);
                if (why == EndReason::PeerClosed) // before any close of ours: the client left of its own accord
                    conn_->peerClosedFirst.store(true, std::memory_order_release);
            }
            if (phase_ < Phase::TearingDown)
                phase_ = Phase::TearingDown;
            return flushOutput();
        case EndReason::TimedOut: ending_.timedOut = true; return closeSocket();
        case EndReason::Dropped:
            dropPendingFrames();
            return closeSocket(); // the pending wait (or the write's end) fails next and finishes the connection
        case EndReason::None: return;
        }
    }

    void settle(EndReason why, std::uint16_t code) {
        if (ending_.reason != EndReason::None)
            return;
        ending_.reason = why;
        ending_.code = code;
    }

    // The close code the connection ends with: that of the first close frame (ours, the peer's, a fault's; 0
    // for the peer's without one), else 1006.
    unsigned closeCodeAtEnd() const { return ending_.reason == EndReason::None ? close_code::abnormal : ending_.code; }

    // The read loop's end, so it runs exactly once per connection, after its last message.
    void finish(error_code ec) {
        flushDeferredDrains(); // the read loop ends here, so nothing else would post them
        if (phase_ == Phase::Finished)
            return;
        const bool peerClosed = phase_ >= Phase::TearingDown;
        phase_ = Phase::Finished;
        conn_->state.store(State::Closed, std::memory_order_release);
        if (deadline_)
            deadline_->cancel();
        closeSocket();
        dropPendingFrames(); // a write still in flight completes with an error and gives back its own bytes
        reader_ = FrameReader(shared_->settings.maxMessageSize);
        shared_->counters.closed(closeCodeAtEnd());

        LogLevel level = isOrdinaryEnd(ec) ? LogLevel::Debug : LogLevel::Warning;
        std::string why;
        if (ending_.reason == EndReason::PeerFault) {
            level = LogLevel::Warning;
            why = faultText(ending_.code);
        } else if (peerClosed) {
            level = LogLevel::Debug;
            why = "closing handshake done";
        }
        if (ending_.timedOut) {
            shared_->counters.idleTimeout();
            level = LogLevel::Info;
            why = "timed out";
        }
        log(level,
            [&] { return "WebSocket closed: " + conn_->logName() + " (" + (why.empty() ? ec.message() : why) + ")"; });

        std::shared_ptr<const MessageCallback> message;
        std::shared_ptr<const ClosedCallback> closed;
        {
            std::lock_guard lock(conn_->mutex);
            message.swap(conn_->messageCallback);
            closed.swap(conn_->closedCallback);
        }
        if (closed)
            invokeGuarded("onClosed", [&] { (*closed)(); });
        // The application's closures are released here, after onClosed has returned.
    }

    // --- receiving ---

    // While a write is under way nothing more is read (its end resumes reading): a peer that does not take what
    // we send cannot make us read, and answer, without end. Its bytes wait in the kernel's buffers, and since
    // nothing arrives meanwhile, the idle timeout ends a peer that never reads.
    // `mayMove`: the caller does nothing after this, so the connection may go to another thread here.
    void waitReadable(bool mayMove) {
        // The messages of the last read have all reached their peers' queues: now their drains go.
        flushDeferredDrains();
        if (writing()) {
            readPaused_ = true;
            return;
        }
        if (moveTarget_ && mayMove)
            return moveHome();
        issueRead();
    }

    // An idle connection waits without a buffer and reads, once the bytes are there, into the thread's buffer;
    // that wait asks the reactor anew each time. A busy one keeps a small buffer of its own (OwnRead: a
    // signaling message fits, a longer one or a burst goes on into the thread's buffer) with a read pending in
    // it, which the reactor completes as the bytes come, without asking again.
    void issueRead() {
        reading_ = true;
        if (busy_) {
            if (!own_)
                own_ = std::make_unique<OwnRead>();
            own_->start(socket_, this->shared_from_this());
            return;
        }
        own_.reset();
        socket_.async_wait(Socket::wait_read,
                           net::bind_allocator(WaitAllocator<>(), [self = this->shared_from_this()](error_code ec) {
                               self->onRead(ec, 0, false);
                           }));
    }

    void onOwnRead(error_code ec, std::size_t n, bool more) override { onRead(ec, n, true, more); }

    // `own`: `n` bytes are in the connection's own buffer (`more`: and more may be left); otherwise the socket
    // is readable.
    void onRead(error_code ec, std::size_t n, bool own, bool more = true) {
        reading_ = false;
        if (std::exchange(rewait_, false) && ec == net::error::operation_aborted && socket_.is_open())
            return waitReadable(true); // cancelled to move, or to give the buffer back: wait afresh
        if (ec)
            return finish(ec);
        ++activity_;
        if (own && !received(own_->data(), n))
            return;
        // What is waiting, up to the buffer's size. A buffer filled to the brim leaves more behind, but the
        // next read waits its turn behind the thread's other connections: a flooding peer cannot starve them.
        if (!own || more) {
            char* buffer = socketBuffer();
            const std::size_t got = socket_.read_some(net::buffer(buffer, ioBufferSize), ec);
            if (ec && ec != net::error::would_block && ec != net::error::try_again)
                return finish(ec);
            if (!ec && !received(buffer, got))
                return;
        }
        // Two reads within one keepalive period make the connection busy (see issueRead); a join alone does not.
        if (!busy_ && activity_ - seenActivity_ >= 2)
            busy_ = true;
        flushOutput();
        waitReadable(true);
    }

    // Handles bytes off the socket; false when the connection has ended.
    bool received(char* bytes, std::size_t size) {
        if constexpr (!tls) {
            parse(bytes, size);
            return true;
        } else {
            tls_.provide(bytes, size);
            char* plain = plainBuffer();
            for (;;) {
                const long n = tls_.decrypt(plain, ioBufferSize);
                if (n == TlsLink::needInput)
                    return true;
                if (n == TlsLink::peerClosed) {
                    finish(net::error::eof);
                    return false;
                }
                if (n < 0) {
                    finish(net::ssl::error::stream_truncated);
                    return false;
                }
                parse(plain, static_cast<std::size_t>(n));
            }
        }
    }

    // Every complete frame in these bytes; their messages reach the application one after the other.
    void parse(char* bytes, std::size_t size) {
        if (phase_ >= Phase::TearingDown || reader_.closed())
            return; // closing: what still arrives is read and dropped
        DeferDrains deferring;
        if (const auto fault = reader_.feed(bytes, size, *this))
            end(EndReason::PeerFault, fault);
    }

    void onMessage(bool text, std::string_view payload) override {
        // After close() the application has said its last word; what still arrives is not delivered.
        if (conn_->state.load(std::memory_order_acquire) != State::Open)
            return;
        auto handler = conn_->messageHandler();
        if (!handler)
            return;
        message_variant message;
        if (text)
            message.template emplace<std::string>(payload);
        else
            message.template emplace<binary>(reinterpret_cast<const std::byte*>(payload.data()),
                                             reinterpret_cast<const std::byte*>(payload.data()) + payload.size());
        invokeGuarded("onMessage", [&] { (*handler)(std::move(message)); });
    }

    // Only the latest ping is answered (RFC 6455 5.5.3 allows that), when the next write starts: pings that
    // come faster than their pongs leave cost no memory.
    void onPing(std::string_view payload) override {
        if (phase_ == Phase::Open)
            pong_.emplace(payload);
    }

    void onPong() override {}

    void onClose(std::uint16_t code, std::string_view) override { end(EndReason::PeerClosed, code); }

    // --- sending ---

    bool writing() const { return !sending_.empty(); }

    // Takes what send() and close() queued since the last drain, in their order.
    void drain() {
        std::vector<message_variant> batch;
        CloseRequest request;
        uint16_t code;
        {
            std::lock_guard lock(conn_->mutex);
            batch.swap(conn_->outgoing);
            conn_->drainPosted = false;
            request = std::exchange(conn_->closeRequest, CloseRequest::None);
            code = conn_->closeCode;
        }
        if (phase_ != Phase::Open) {
            release(batch);
            return;
        }
        for (const auto& message : batch) {
            std::visit(
                [&](const auto& data) {
                    const bool text = std::is_same_v<std::decay_t<decltype(data)>, std::string>;
                    appendFrame(frames_, text ? Opcode::Text : Opcode::Binary,
                                {reinterpret_cast<const char*>(data.data()), data.size()});
                    queuedBytes_ += data.size();
                },
                message);
        }
        batch = {};
        if (request == CloseRequest::Overflow)
            return end(EndReason::Closed, close_code::policy);
        if (request == CloseRequest::Normal)
            return end(EndReason::Closed, code);
        flushOutput();
    }

    // Starts writing what is queued unless a write is under way (its end starts the next one). Everything
    // queued leaves together: one system call (and one wake-up of the peer) for a whole batch.
    void flushOutput() {
        if (writing() || phase_ == Phase::Finished)
            return;
        if (pong_) {
            const std::string payload = std::move(*pong_);
            pong_.reset();
            if (phase_ == Phase::Open) {
                appendControl(Opcode::Pong, payload);
                if (phase_ != Phase::Open)
                    return; // over the cap: the close has flushed already
            }
        }
        if constexpr (tls) {
            if (!frames_.empty()) {
                const bool encrypted = tls_.encrypt(frames_);
                freeString(frames_);
                if (!encrypted)
                    return end(EndReason::Dropped);
            }
            if (phase_ == Phase::TearingDown) {
                phase_ = Phase::Notified;
                tls_.closeNotify();
            }
            sending_.swap(tls_.output());
        } else {
            sending_.swap(frames_);
        }
        sendingBytes_ = std::exchange(queuedBytes_, 0);
        if (sending_.empty()) {
            freeString(sending_); // an idle connection keeps no write buffer
            if (phase_ >= Phase::TearingDown && phase_ < Phase::Shut)
                shutdownSend();
            return;
        }
        // Written at once when the socket takes it all, as it nearly always does: no completion goes through
        // the event loop. What it does not take is written when it can.
        error_code ec;
        const std::size_t written = socket_.write_some(net::buffer(sending_), ec);
        if (ec != net::error::would_block && ec != net::error::try_again && (ec || written == sending_.size()))
            return onWrite(ec);
        sending_.erase(0, written);
        net::async_write(socket_, net::buffer(sending_),
                         [self = this->shared_from_this()](error_code ec, std::size_t) { self->onWrite(ec); });
    }

    void onWrite(error_code ec) {
        freeString(sending_);
        releaseBytes(std::exchange(sendingBytes_, 0));
        // One read per completed write while the peer takes what we send slowly; after an error the wait fails
        // at once and finishes the connection.
        if (std::exchange(readPaused_, false))
            waitReadable(false);
        if (ec)
            return end(EndReason::Dropped);
        flushOutput();
    }

    // A control frame of ours counts against the outbound cap like a message, until it is written.
    void appendControl(Opcode opcode, std::string_view payload) {
        const std::size_t size = payload.size() + 2;
        bool over;
        {
            std::lock_guard lock(conn_->mutex);
            over = conn_->buffered + size > conn_->maxBuffered;
            if (!over)
                conn_->buffered += size;
            else if (conn_->state.load(std::memory_order_relaxed) == State::Open)
                conn_->state.store(State::Closing, std::memory_order_release);
        }
        if (over)
            return end(EndReason::Closed, close_code::policy);
        appendFrame(frames_, opcode, payload);
        queuedBytes_ += size;
    }

    // Gives the bytes of these messages back to the outbound cap.
    void release(const std::vector<message_variant>& batch) {
        std::size_t bytes = 0;
        for (const auto& message : batch)
            bytes += sizeOf(message);
        releaseBytes(bytes);
    }

    void releaseBytes(std::size_t bytes) {
        if (bytes == 0)
            return;
        std::lock_guard lock(conn_->mutex);
        conn_->buffered -= bytes;
    }

    // Drops every frame not yet handed to the socket; a write under way completes.
    void dropPendingFrames() {
        freeString(frames_);
        releaseBytes(std::exchange(queuedBytes_, 0));
    }

    // --- the socket's end ---

    // Everything queued (the close frame last, then TLS's close_notify) has been written: our FIN.
    void shutdownSend() {
        phase_ = Phase::Shut;
        error_code ignored;
        socket_.shutdown(Socket::shutdown_send, ignored);
    }

    // Keepalive, ticked every quarter of the idle timeout: a connection from which nothing (no message, no
    // control frame) has arrived for half of it is pinged, and closed once the whole of it has passed in
    // silence. This also ends closing handshakes that a peer never finishes.
    void idleTick() {
        if (phase_ == Phase::Finished)
            return;
        // A closing handshake (ours, the peer's, or one after a protocol error) that the peer leaves unfinished
        // would otherwise hold the connection until the whole idle timeout has passed in silence.
        if (phase_ != Phase::Open && ++closingTicks_ >= 2)
            return end(EndReason::TimedOut);
        if (activity_ != seenActivity_) {
            seenActivity_ = activity_;
            silentTicks_ = 0;
            return;
        }
        // A connection gone quiet gives its own read buffer back.
        if (busy_) {
            busy_ = false;
            interruptRead();
        }
        if (++silentTicks_ >= 4)
            return end(EndReason::TimedOut);
        if (silentTicks_ == 2 && phase_ == Phase::Open) {
            appendControl(Opcode::Ping, {});
            flushOutput();
        }
    }

    void closeSocket() {
        error_code ignored;
        if (socket_.is_open()) {
            socket_.shutdown(Socket::shutdown_both, ignored);
            socket_.close(ignored);
        }
    }

    // Armed once, when the connection starts to close, so an open one has no timer.
    void armDeadline(std::chrono::milliseconds limit) {
        if (!deadline_)
            deadline_ = std::make_unique<net::steady_timer>(socket_.get_executor());
        deadline_->expires_after(limit);
        deadline_->async_wait([self = this->shared_from_this()](error_code ec) {
            if (!ec)
                self->closeSocket();
        });
    }

    std::shared_ptr<const void> tlsKeep_; // first: it must outlive the OpenSSL session
    Socket socket_;
    struct NoLink {};
    [[no_unique_address]] std::conditional_t<tls, TlsLink, NoLink> tls_;
    FrameReader reader_;
    std::string frames_;           // frames queued, not yet handed to the socket (nor to TLS)
    std::string sending_;          // bytes being written to the socket: a write is under way while it is not empty
    std::size_t queuedBytes_ = 0;  // message bytes in frames_, owed back to the outbound cap once written
    std::size_t sendingBytes_ = 0; // the same for sending_
    std::unique_ptr<net::steady_timer> deadline_; // a close the peer stalls is forced; made when closing
    std::shared_ptr<Connection> conn_;
    std::shared_ptr<Shared> shared_;
    std::optional<std::string> pong_; // the payload of the latest ping not answered yet
    unsigned activity_ = 0;           // bumped by everything received
    unsigned seenActivity_ = 0;       // activity_ at the last keepalive tick
    Ending ending_;
    unsigned char silentTicks_ = 0;
    unsigned char closingTicks_ = 0;
    std::atomic<net::io_context*> home_;    // whose thread serves the connection; changed only on that thread
    ThreadLoad* load_;                      // home_'s count of connections
    net::io_context* moveTarget_ = nullptr; // the thread the connection moves to at its next wait for input
    std::unique_ptr<OwnRead> own_;          // a busy connection's own read buffer (see issueRead)
    Phase phase_ = Phase::Open;
    bool readPaused_ = false; // no wait for input is pending: the write under way resumes it
    bool reading_ = false;    // a wait for input is pending
    bool rewait_ = false;     // that wait was cancelled to be made afresh
    bool busy_ = false;       // reads into own_
};

template <bool tls> std::shared_ptr<UpgradedSession> make(Upgraded&& upgraded, std::shared_ptr<Shared>&& shared) {
    SSL* ssl = std::exchange(upgraded.ssl, nullptr);
    auto session = std::make_shared<Session<tls>>(std::move(upgraded), std::move(shared));
    if (!session->adopt(ssl))
        return nullptr;
    return session;
}

} // namespace

std::shared_ptr<UpgradedSession> makeSession(Upgraded upgraded, std::shared_ptr<Shared> shared) {
    if (upgraded.ssl)
        return make<true>(std::move(upgraded), std::move(shared));
    return make<false>(std::move(upgraded), std::move(shared));
}

} // namespace rtc::detail
