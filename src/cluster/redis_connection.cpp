// The Redis connection: hiredis formats the commands and parses the replies, our Asio socket (under TLS for
// rediss://) and one thread carry them. Every connection attempt is a Link; handlers of a Link that is no longer
// the current one do nothing.
#include "cluster/redis_connection.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <hiredis/hiredis.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "cluster/sentinel_replies.hpp"

namespace murva {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Callback = RedisConnection::Callback;

constexpr std::size_t readChunk = 64 * 1024;
constexpr std::size_t maxCommandBytes = std::size_t{1} << 30; // hiredis counts a command's length in an int
constexpr std::size_t keptWriteCapacity = std::size_t{1} << 20;
constexpr milliseconds firstBackoff{100};
constexpr milliseconds leastBackoff{10}; // a zero maximum must not make the retries spin

RedisReply errorReply(std::string text) {
    RedisReply reply;
    reply.type = RedisReply::Type::Error;
    reply.text = std::move(text);
    return reply;
}

RedisReply copyReply(const redisReply& in) {
    RedisReply out;
    switch (in.type) {
    case REDIS_REPLY_STATUS: out.type = RedisReply::Type::Status; break;
    case REDIS_REPLY_ERROR: out.type = RedisReply::Type::Error; break;
    case REDIS_REPLY_INTEGER:
        out.type = RedisReply::Type::Integer;
        out.integer = in.integer;
        return out;
    case REDIS_REPLY_STRING: out.type = RedisReply::Type::String; break;
    case REDIS_REPLY_ARRAY:
        out.type = RedisReply::Type::Array;
        out.elements.reserve(in.elements);
        for (std::size_t i = 0; i < in.elements; ++i)
            out.elements.push_back(copyReply(*in.element[i]));
        return out;
    default: return out; // Nil
    }
    out.text.assign(in.str, in.len);
    return out;
}

// "version" from a HELLO reply (RESP2: a flat array of names and values) as {major, minor}; {-1, -1} if absent.
std::pair<int, int> helloVersion(const RedisReply& reply) {
    for (std::size_t i = 0; i + 1 < reply.elements.size(); i += 2) {
        if (reply.elements[i].text != "version")
            continue;
        const std::string& text = reply.elements[i + 1].text;
        int major = -1, minor = -1;
        const char* end = text.data() + text.size();
        auto parsed = std::from_chars(text.data(), end, major);
        if (parsed.ec != std::errc() || parsed.ptr == end || *parsed.ptr != '.' ||
            std::from_chars(parsed.ptr + 1, end, minor).ec != std::errc())
            return {-1, -1};
        return {major, minor};
    }
    return {-1, -1};
}

bool isMessage(const RedisReply& reply) {
    return reply.type == RedisReply::Type::Array && reply.elements.size() == 3 &&
           reply.elements[0].type == RedisReply::Type::String && reply.elements[0].text == "message";
}

// Commands that turn the connection into one Redis pushes to; their replies could not be matched in order.
bool isPushCommand(const std::string& name) {
    static const std::set<std::string> names = {"subscribe",    "psubscribe",   "ssubscribe", "unsubscribe",
                                                "punsubscribe", "sunsubscribe", "monitor"};
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return names.count(lower) != 0;
}

struct FormattedCommand {
    FormattedCommand() = default;
    FormattedCommand(const FormattedCommand&) = delete;
    FormattedCommand& operator=(const FormattedCommand&) = delete;
    ~FormattedCommand() {
        if (data)
            redisFreeCommand(data);
    }
    char* data = nullptr;
    int size = -1;
};

// Empty when `args` was formatted into `out`; otherwise why the command is refused. Only the connection itself
// sends SUBSCRIBE (`internal`), as it knows which replies are pushes.
std::string format(const std::vector<std::string>& args, FormattedCommand& out, bool internal = false) {
    if (args.empty())
        return "empty command";
    std::size_t total = 0;
    for (const auto& a : args)
        total += a.size() + 32;
    if (total > maxCommandBytes)
        return "command larger than 1 GiB";
    if (!internal && isPushCommand(args.front()))
        return args.front() + " is not available as a command; use RedisConnection::subscribe";
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    argv.reserve(args.size());
    lengths.reserve(args.size());
    for (const auto& a : args) {
        argv.push_back(a.data());
        lengths.push_back(a.size());
    }
    out.size = redisFormatCommandArgv(&out.data, static_cast<int>(args.size()), argv.data(), lengths.data());
    return out.size < 0 ? "cannot format the command (out of memory)" : "";
}

// The client side of rediss://: the server's certificate is checked against the CA file (or the system's CAs)
// always; the host name (or IP address) is checked on each connection, which knows the host.
std::unique_ptr<asio::ssl::context> makeTlsContext(const RedisTlsFiles& files) {
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    const auto use = [](const std::string& what, const std::string& path, const auto& load) {
        try {
            load();
        } catch (const boost::system::system_error& e) {
            ERR_clear_error();
            throw std::invalid_argument("cannot use the " + what + " " + path +
                                        " for Redis over TLS: " + e.code().message());
        }
    };
    if (files.caFile.empty())
        use("system's CA store", "(default paths)", [&] { context->set_default_verify_paths(); });
    else
        use("CA file", files.caFile, [&] { context->load_verify_file(files.caFile); });
    if (files.certFile.empty() != files.keyFile.empty())
        throw std::invalid_argument("a client certificate for Redis over TLS needs both its certificate and its key");
    if (!files.certFile.empty()) {
        // An encrypted key fails here rather than OpenSSL asking for its pass phrase on the terminal.
        context->set_password_callback([](std::size_t, asio::ssl::context::password_purpose) { return std::string(); });
        use("client certificate", files.certFile, [&] { context->use_certificate_chain_file(files.certFile); });
        use("client key", files.keyFile,
            [&] { context->use_private_key_file(files.keyFile, asio::ssl::context::pem); });
        if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
            ERR_clear_error();
            throw std::invalid_argument("the client key " + files.keyFile + " does not belong to the certificate " +
                                        files.certFile);
        }
    }
    context->set_verify_mode(asio::ssl::verify_peer);
    return context;
}

struct ReaderDeleter {
    void operator()(redisReader* reader) const { redisReaderFree(reader); }
};
struct ReplyDeleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};

enum class Phase { Connecting, Handshaking, Ready };

// One connection attempt and, when it succeeds, the connection: owned by the handlers of its pending operations
// too, so its socket and buffers outlive them.
struct Link {
    Link(asio::io_context& io, asio::ssl::context* tls) : resolver(io), socket(io), reader(redisReaderCreate()) {
        if (!reader)
            throw std::bad_alloc();
        if (tls)
            secure.emplace(io, *tls);
    }
    tcp::socket& tcpSocket() { return secure ? secure->next_layer() : socket; }
    // Runs `use` with the stream commands and replies go through: the TLS stream or the plain socket.
    template <class Use> void stream(Use&& use) {
        if (secure)
            use(*secure);
        else
            use(socket);
    }

    tcp::resolver resolver;
    tcp::socket socket;                                   // without TLS
    std::optional<asio::ssl::stream<tcp::socket>> secure; // with TLS, over a socket of its own
    bool tlsHandshaking = false;
    std::unique_ptr<redisReader, ReaderDeleter> reader;
    std::array<char, readChunk> readBuffer;
    std::string writing; // the batch being written
    bool writeInFlight = false;
    Phase phase = Phase::Connecting;
    bool subscribed = false;       // Redis confirmed a SUBSCRIBE: "message" arrays are pushes from now on
    std::size_t handshakeLeft = 0; // replies still due before the connection is ready
    std::deque<Callback> awaiting; // written, in order, their replies not yet read
    Clock::time_point lastRead, pingSentAt;
    bool pingOutstanding = false;
};

} // namespace

class RedisConnection::Impl {
public:
    Impl(RedisEndpoint endpoint, Handlers handlers, RedisOptions options)
        : endpoint_(std::move(endpoint)), handlers_(std::move(handlers)),
          options_(std::move(options)), address_{endpoint_.host, endpoint_.port},
          maxBackoff_(std::max(options_.maxBackoff, leastBackoff)),
          tls_(endpoint_.tls ? makeTlsContext(options_.tls) : nullptr), backoff_(std::min(firstBackoff, maxBackoff_)),
          work_(asio::make_work_guard(io_)), retryTimer_(io_), connectTimer_(io_), livenessTimer_(io_),
          thread_([this] { run(); }) {}

    ~Impl() {
        stop();
        work_.reset();
        thread_.join();
    }

    void start() {
        if (started_.exchange(true))
            return;
        asio::post(io_, [this] {
            if (!stopped_ && !link_)
                connect();
        });
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            if (stopped_)
                return;
            stopped_ = true;
            accepting_ = false;
            connected_ = false;
        }
        asio::post(io_, [this] { shutdown(); });
    }

    bool connected() const { return connected_; }
    bool tried() const { return tried_; }
    std::string refusal() const {
        std::lock_guard lock(mutex_);
        return refusal_;
    }

    void serverMoved(HostPort to) {
        asio::post(io_, [this, to = std::move(to)] {
            if (stopped_ || !started_ || !options_.locate || (link_ && to == address_))
                return;
            if (link_ && link_->phase == Phase::Ready) {
                fail("the server moved to " + to.text());
            } else { // an attempt at the old address, or the wait after one
                const auto error = errorReply("connection to Redis lost: the server moved to " + to.text());
                for (auto& done : dropLink())
                    if (done)
                        guarded("a command callback", [&] { done(error); });
            }
            if (stopped_) // the lost handler may have stopped us
                return;
            // Straight there rather than after the backoff, and not asking again: a source that has not heard
            // of the move yet would send us back to the old server.
            retryTimer_.cancel();
            backoff_ = std::min(firstBackoff, maxBackoff_);
            connect(to);
        });
    }

    void drop(std::string why) {
        asio::post(io_, [this, why = std::move(why)] {
            if (link_ && link_->phase == Phase::Ready && !stopped_) // not a later connection
                fail(why);
        });
    }

    void command(std::vector<std::string> args, Callback done) {
        FormattedCommand formatted;
        std::string refusal = format(args, formatted);
        if (refusal.empty()) {
            std::lock_guard lock(mutex_);
            if (accepting_)
                return append(formatted, std::move(done));
            refusal = stopped_ ? "connection stopped" : "not connected to Redis at " + where();
        }
        if (done)
            asio::post(io_, [this, done = std::move(done), refusal = std::move(refusal)] {
                guarded("a command callback", [&] { done(errorReply(refusal)); });
            });
    }

    void subscribe(std::string channel) {
        asio::post(io_, [this, channel = std::move(channel)] {
            if (stopped_ || std::find(channels_.begin(), channels_.end(), channel) != channels_.end())
                return;
            channels_.push_back(channel);
            if (link_ && link_->phase != Phase::Connecting)
                sendSubscribe(link_, channel, false);
        });
    }

    void post(std::function<void()> fn, milliseconds delay) {
        if (delay <= milliseconds::zero()) {
            asio::post(io_, [this, fn = std::move(fn)] {
                if (!stopped_)
                    guarded("a posted function", fn);
            });
            return;
        }
        asio::post(io_, [this, fn = std::move(fn), delay] {
            if (stopped_)
                return;
            auto timer = std::make_shared<asio::steady_timer>(io_, delay);
            userTimers_.insert(timer);
            timer->async_wait([this, timer, fn](boost::system::error_code ec) {
                userTimers_.erase(timer);
                if (!ec && !stopped_)
                    guarded("a posted function", fn);
            });
        });
    }

    void every(milliseconds period, std::function<void()> fn) {
        if (period <= milliseconds::zero())
            throw std::invalid_argument("RedisConnection::every needs a positive period");
        asio::post(io_, [this, period, fn = std::make_shared<std::function<void()>>(std::move(fn))] {
            if (stopped_)
                return;
            auto timer = std::make_shared<asio::steady_timer>(io_);
            userTimers_.insert(timer);
            tick(timer, period, fn);
        });
    }

private:
    // The connection's thread: what a handler lets escape ends that handler only (a backstop; every callback
    // is guarded where it is called).
    void run() {
        for (;;) {
            try {
                io_.run();
                return;
            } catch (...) {
                report("the Redis connection's thread", std::current_exception());
            }
        }
    }

    void report(const char* source, std::exception_ptr thrown) noexcept {
        try {
            std::string what = std::string(source) + " threw ";
            try {
                std::rethrow_exception(thrown);
            } catch (const std::exception& e) {
                what += e.what();
            } catch (...) {
                what += "a non-standard exception";
            }
            if (handlers_.error)
                handlers_.error(what);
        } catch (...) {
        }
    }

    template <class F> void guarded(const char* source, F&& f) noexcept {
        try {
            f();
        } catch (...) {
            report(source, std::current_exception());
        }
    }

    std::string where() const { return address_.text(); }

    // Under mutex_: the command joins the next write, which one posted flush carries.
    void append(const FormattedCommand& formatted, Callback done) {
        outbox_.append(formatted.data, static_cast<std::size_t>(formatted.size));
        queued_.push_back(std::move(done));
        if (!flushPosted_) {
            flushPosted_ = true;
            asio::post(io_, [this] { flush(); });
        }
    }

    // The connection's own commands (handshake, PING), sent whether or not user commands are accepted.
    void sendInternal(const std::vector<std::string>& args, Callback done) {
        FormattedCommand formatted;
        if (!format(args, formatted, true).empty())
            throw std::bad_alloc();
        std::lock_guard lock(mutex_);
        append(formatted, std::move(done));
    }

    void tick(const std::shared_ptr<asio::steady_timer>& timer, milliseconds period,
              const std::shared_ptr<std::function<void()>>& fn) {
        timer->expires_after(period);
        timer->async_wait([this, timer, period, fn](boost::system::error_code ec) {
            if (ec || stopped_) {
                userTimers_.erase(timer);
                return;
            }
            guarded("a timer", *fn);
            tick(timer, period, fn);
        });
    }

    // `known`: the address to use this time instead of locating it.
    void connect(std::optional<HostPort> known = std::nullopt) {
        auto link = std::make_shared<Link>(io_, tls_.get());
        link_ = link;
        if (options_.connectTimeout > milliseconds::zero()) {
            connectTimer_.expires_after(options_.connectTimeout);
            connectTimer_.async_wait([this, link](boost::system::error_code ec) {
                if (ec || link != link_ || link->phase == Phase::Ready)
                    return;
                const std::string within = " within " + std::to_string(options_.connectTimeout.count()) + " ms";
                // A server that accepted the connection but never answers the handshake speaks no TLS there
                // (a plain Redis waits for the end of a command line that never comes).
                if (link->tlsHandshaking)
                    return tlsFailed("no answer" + within + " (does it speak TLS there?)");
                fail("no connection to " + where() + within);
            });
        }
        if (known) {
            std::lock_guard lock(mutex_); // where() is read under it from other threads
            address_ = std::move(*known);
        }
        if (!options_.locate || known)
            return resolve(link);
        guarded("locating the server", [&] {
            options_.locate([this, link](std::optional<HostPort> found, const std::string& why) {
                asio::post(io_, [this, link, found = std::move(found), why] {
                    if (link != link_)
                        return;
                    if (!found)
                        return fail(why, true);
                    {
                        std::lock_guard lock(mutex_); // where() is read under it from other threads
                        address_ = *found;
                    }
                    resolve(link);
                });
            });
        });
    }

    void resolve(const std::shared_ptr<Link>& link) {
        link->resolver.async_resolve(
            address_.host, std::to_string(address_.port),
            [this, link](boost::system::error_code ec, const tcp::resolver::results_type& results) {
                if (link != link_)
                    return;
                if (ec)
                    return fail("cannot resolve " + address_.host + ": " + ec.message());
                asio::async_connect(link->tcpSocket(), results,
                                    [this, link](boost::system::error_code ec, const tcp::endpoint&) {
                                        if (link != link_)
                                            return;
                                        if (ec)
                                            return fail("cannot connect to " + where() + ": " + ec.message());
                                        if (link->secure)
                                            return startTls(link);
                                        handshake(link);
                                    });
            });
    }

    // The server's certificate must name the host connected to (the URL's, or the master the sentinels named):
    // SNI and the name check for a host name, the IP SAN check for an address.
    void startTls(const std::shared_ptr<Link>& link) {
        SSL* ssl = link->secure->native_handle();
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        boost::system::error_code notAnAddress;
        asio::ip::make_address(address_.host, notAnAddress);
        const bool named = notAnAddress ? SSL_set_tlsext_host_name(ssl, address_.host.c_str()) == 1 &&
                                              X509_VERIFY_PARAM_set1_host(param, address_.host.c_str(), 0) == 1
                                        : X509_VERIFY_PARAM_set1_ip_asc(param, address_.host.c_str()) == 1;
        if (!named) {
            ERR_clear_error();
            return tlsFailed("cannot check the server's certificate against the host " + address_.host);
        }
        link->tlsHandshaking = true;
        link->secure->async_handshake(asio::ssl::stream_base::client, [this, link](boost::system::error_code ec) {
            if (link != link_)
                return;
            link->tlsHandshaking = false;
            if (ec)
                return tlsFailed(tlsError(link, ec));
            handshake(link);
        });
    }

    // What went wrong in TLS: the certificate check's own reason when that failed ("unable to get local issuer
    // certificate", "hostname mismatch"), else OpenSSL's.
    std::string tlsError(const std::shared_ptr<Link>& link, const boost::system::error_code& ec) const {
        const long verified = SSL_get_verify_result(link->secure->native_handle());
        ERR_clear_error();
        if (verified != X509_V_OK)
            return std::string("certificate verify failed (") + X509_verify_cert_error_string(verified) + ")";
        if (ec == asio::ssl::error::stream_truncated || ec == asio::error::eof)
            return "the server closed the connection (does it speak TLS there?)";
        return ec.message();
    }

    void tlsFailed(const std::string& reason) { refused("TLS handshake with " + where() + " failed: " + reason); }

    void refused(const std::string& why) {
        {
            std::lock_guard lock(mutex_);
            refusal_ = why;
        }
        fail(why, true);
    }

    // AUTH and SELECT when configured, a PING (so a server wanting a password is noticed now, not at the
    // first command) or, when a least version is set, a HELLO that also says the version; the subscriptions.
    // The connection is ready when all have succeeded.
    void handshake(const std::shared_ptr<Link>& link) {
        boost::system::error_code ignored;
        link->tcpSocket().set_option(tcp::no_delay(true), ignored); // batching is ours
        link->phase = Phase::Handshaking;
        link->lastRead = Clock::now();
        read(link);

        std::vector<std::vector<std::string>> steps;
        if (!endpoint_.username.empty())
            steps.push_back({"AUTH", endpoint_.username, endpoint_.password});
        else if (!endpoint_.password.empty())
            steps.push_back({"AUTH", endpoint_.password});
        if (endpoint_.database != 0)
            steps.push_back({"SELECT", std::to_string(endpoint_.database)});
        if (options_.locate)
            steps.push_back({"ROLE"});
        const bool checkVersion = options_.minimumMajor > 0;
        steps.push_back(checkVersion ? std::vector<std::string>{"HELLO", "2"} : std::vector<std::string>{"PING"});
        link->handshakeLeft = steps.size() + channels_.size();
        for (const auto& step : steps) {
            sendInternal(step, [this, link, name = step.front()](const RedisReply& reply) {
                if (link != link_)
                    return;
                if (name == "HELLO")
                    return checkHello(link, reply);
                if (name == "ROLE" && !reply.isError() && !isMasterRole(reply))
                    return fail(where() + " is not a master (ROLE says " +
                                    (reply.elements.empty() ? std::string("nothing") : reply.elements[0].text) + ")",
                                true);
                if (reply.isError() && reply.text.rfind("NOPERM", 0) == 0)
                    return refused(name + " refused by " + where() + ": " + reply.text);
                if (reply.isError())
                    return fail(name + " refused by " + where() + ": " + reply.text, true);
                handshakeStepDone(link);
            });
        }
        for (const auto& channel : channels_)
            sendSubscribe(link, channel, true);
    }

    // Servers before 6.0 know no HELLO: they are too old as well.
    void checkHello(const std::shared_ptr<Link>& link, const RedisReply& reply) {
        const std::string least = std::to_string(options_.minimumMajor) + "." + std::to_string(options_.minimumMinor);
        if (reply.isError() && reply.text.rfind("ERR unknown command", 0) != 0)
            return fail("HELLO refused by " + where() + ": " + reply.text, true);
        const auto [major, minor] = helloVersion(reply);
        if (major < options_.minimumMajor || (major == options_.minimumMajor && minor < options_.minimumMinor))
            return fail("the Redis server at " + where() + " is version " +
                            (major < 0 ? "5 or older" : std::to_string(major) + "." + std::to_string(minor)) +
                            "; Redis " + least + " or newer is needed",
                        true);
        handshakeStepDone(link);
    }

    void sendSubscribe(const std::shared_ptr<Link>& link, const std::string& channel, bool partOfHandshake) {
        sendInternal({"SUBSCRIBE", channel}, [this, link, channel, partOfHandshake](const RedisReply& reply) {
            if (link != link_)
                return;
            if (reply.isError())
                return fail("SUBSCRIBE " + channel + " refused by " + where() + ": " + reply.text, true);
            link->subscribed = true;
            if (partOfHandshake)
                handshakeStepDone(link);
        });
    }

    void handshakeStepDone(const std::shared_ptr<Link>& link) {
        if (--link->handshakeLeft != 0)
            return;
        {
            std::lock_guard lock(mutex_);
            if (stopped_)
                return;
            accepting_ = true;
            connected_ = true;
        }
        link->phase = Phase::Ready;
        tried_ = true;
        {
            std::lock_guard lock(mutex_);
            refusal_.clear();
        }
        lossReported_ = false;
        connectTimer_.cancel();
        backoff_ = std::min(firstBackoff, maxBackoff_);
        watchLiveness(link);
        if (handlers_.connected)
            guarded("the connected handler", handlers_.connected);
    }

    // Every interval a PING unless one is still out; one out for two intervals with nothing read meanwhile
    // (a stopped server, a dead path) ends the connection.
    void watchLiveness(const std::shared_ptr<Link>& link) {
        const milliseconds interval = options_.livenessInterval;
        if (interval <= milliseconds::zero())
            return;
        livenessTimer_.expires_after(interval);
        livenessTimer_.async_wait([this, link, interval](boost::system::error_code ec) {
            if (ec || link != link_)
                return;
            const auto now = Clock::now();
            if (link->pingOutstanding) {
                if (now - std::max(link->lastRead, link->pingSentAt) >= 2 * interval)
                    return fail("no reply to PING from " + where() + " within " + std::to_string(2 * interval.count()) +
                                " ms");
            } else {
                link->pingOutstanding = true;
                link->pingSentAt = now;
                // An error reply (LOADING, say) still shows the server is alive.
                sendInternal({"PING"}, [link](const RedisReply&) { link->pingOutstanding = false; });
            }
            watchLiveness(link);
        });
    }

    void read(const std::shared_ptr<Link>& link) {
        link->stream([&](auto& stream) {
            stream.async_read_some(
                asio::buffer(link->readBuffer),
                [this, link](boost::system::error_code ec, std::size_t size) { received(link, ec, size); });
        });
    }

    void received(const std::shared_ptr<Link>& link, boost::system::error_code ec, std::size_t size) {
        if (link != link_)
            return;
        // With TLS 1.3 the server judges our certificate after our handshake has ended: its refusal
        // comes as an alert on the first read.
        if (ec && link->secure && link->phase != Phase::Ready && ec.category() == asio::error::get_ssl_category())
            return tlsFailed(tlsError(link, ec));
        if (ec)
            return fail(ec == asio::error::eof ? where() + " closed the connection"
                                               : "reading from " + where() + " failed: " + ec.message());
        link->lastRead = Clock::now();
        redisReader* reader = link->reader.get();
        if (redisReaderFeed(reader, link->readBuffer.data(), size) != REDIS_OK)
            return fail("protocol error from " + where() + ": " + reader->errstr);
        for (;;) {
            void* raw = nullptr;
            if (redisReaderGetReply(reader, &raw) != REDIS_OK)
                return fail("protocol error from " + where() + ": " + reader->errstr);
            if (!raw)
                break;
            std::unique_ptr<redisReply, ReplyDeleter> reply(static_cast<redisReply*>(raw));
            dispatch(link, copyReply(*reply));
            if (link != link_)
                return; // the reply ended the connection (a refused AUTH, say)
        }
        read(link);
    }

    void dispatch(const std::shared_ptr<Link>& link, const RedisReply& reply) {
        if (link->subscribed && isMessage(reply)) {
            if (handlers_.message && !stopped_)
                guarded("the message handler",
                        [&] { handlers_.message(reply.elements[1].text, reply.elements[2].text); });
            return;
        }
        if (link->awaiting.empty())
            return fail(where() + " sent a reply no command asked for");
        Callback done = std::move(link->awaiting.front());
        link->awaiting.pop_front();
        if (done)
            guarded("a command callback", [&] { done(reply); });
    }

    // Takes what is queued into one write unless a write is under way (its completion calls flush again).
    void flush() {
        const auto link = link_;
        if (link && link->writeInFlight)
            return;
        {
            std::lock_guard lock(mutex_);
            flushPosted_ = false;
            if (!link || outbox_.empty())
                return;
            link->writing.swap(outbox_);
            for (auto& done : queued_)
                link->awaiting.push_back(std::move(done));
            queued_.clear();
        }
        link->writeInFlight = true;
        link->stream([&](auto& stream) {
            asio::async_write(stream, asio::buffer(link->writing),
                              [this, link](boost::system::error_code ec, std::size_t) {
                                  if (link != link_)
                                      return;
                                  link->writeInFlight = false;
                                  if (ec)
                                      return fail("writing to " + where() + " failed: " + ec.message());
                                  link->writing.clear();
                                  if (link->writing.capacity() > keptWriteCapacity)
                                      std::string().swap(link->writing);
                                  flush();
                              });
        });
    }

    // Ends the current link: its callbacks and the queued ones get `error`, in the order they were issued.
    std::deque<Callback> dropLink() {
        auto link = std::move(link_);
        link_.reset();
        connectTimer_.cancel();
        livenessTimer_.cancel();
        std::deque<Callback> pending;
        if (link) {
            boost::system::error_code ignored;
            link->resolver.cancel();
            link->tcpSocket().close(ignored);
            pending = std::move(link->awaiting);
        }
        std::lock_guard lock(mutex_);
        accepting_ = false;
        connected_ = false;
        flushPosted_ = false; // a flush left waiting for the old link's write would never come
        outbox_.clear();
        for (auto& done : queued_)
            pending.push_back(std::move(done));
        queued_.clear();
        return pending;
    }

    // `refused`: the server answered the handshake with an error, which is worth reporting even though the
    // connection never became ready (a wrong password, say); once until the next ready connection.
    void fail(const std::string& why, bool refused = false) {
        const bool wasReady = link_ && link_->phase == Phase::Ready;
        tried_ = true;
        const auto error = errorReply("connection to Redis lost: " + why);
        for (auto& done : dropLink())
            if (done)
                guarded("a command callback", [&] { done(error); });
        if (stopped_)
            return;
        if ((wasReady || refused) && !lossReported_) {
            lossReported_ = true;
            if (handlers_.lost)
                guarded("the lost handler", [&] { handlers_.lost(why); });
        }
        if (stopped_) // the lost handler may have stopped us
            return;
        retryTimer_.expires_after(backoff_);
        backoff_ = std::min(backoff_ * 2, maxBackoff_);
        retryTimer_.async_wait([this](boost::system::error_code ec) {
            if (!ec && !stopped_ && !link_)
                connect();
        });
    }

    void shutdown() {
        retryTimer_.cancel();
        for (const auto& timer : userTimers_)
            timer->cancel();
        userTimers_.clear();
        const auto error = errorReply("connection stopped");
        for (auto& done : dropLink())
            if (done)
                guarded("a command callback", [&] { done(error); });
    }

    const RedisEndpoint endpoint_;
    const Handlers handlers_;
    const RedisOptions options_;
    HostPort address_; // where the connection goes: the endpoint's, or the last located; written under mutex_
    const milliseconds maxBackoff_;
    const std::unique_ptr<asio::ssl::context> tls_; // rediss:// only; before the links that use it
    asio::io_context io_; // before everything holding its I/O objects, so it is destroyed after them
    std::atomic<bool> started_{false};
    std::atomic<bool> stopped_{false};   // written under mutex_, read anywhere
    std::atomic<bool> connected_{false}; // likewise
    std::atomic<bool> tried_{false};

    mutable std::mutex mutex_;    // guards the five below; never held while a callback runs
    bool accepting_ = false;      // user commands are queued (ready and not stopped)
    std::string outbox_;          // formatted commands not yet taken into a write
    std::deque<Callback> queued_; // their callbacks, in the same order
    bool flushPosted_ = false;
    std::string refusal_; // the latest attempt's, until a connection is ready

    // The connection's thread only.
    milliseconds backoff_;
    bool lossReported_ = false; // lost has run since the last ready connection
    std::shared_ptr<Link> link_;
    std::vector<std::string> channels_;
    std::set<std::shared_ptr<asio::steady_timer>> userTimers_;

    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::steady_timer retryTimer_, connectTimer_, livenessTimer_;
    std::thread thread_; // last: it runs handlers that use everything above
};

RedisConnection::RedisConnection(RedisEndpoint endpoint, Handlers handlers, RedisOptions options)
    : impl_(std::make_unique<Impl>(std::move(endpoint), std::move(handlers), options)) {}

RedisConnection::~RedisConnection() = default;

void RedisConnection::start() { impl_->start(); }
void RedisConnection::stop() { impl_->stop(); }
bool RedisConnection::connected() const { return impl_->connected(); }
bool RedisConnection::tried() const { return impl_->tried(); }
std::string RedisConnection::refusal() const { return impl_->refusal(); }
void RedisConnection::drop(std::string why) { impl_->drop(std::move(why)); }
void RedisConnection::serverMoved(HostPort to) { impl_->serverMoved(std::move(to)); }
void RedisConnection::command(std::vector<std::string> args, Callback done) {
    impl_->command(std::move(args), std::move(done));
}
void RedisConnection::subscribe(std::string channel) { impl_->subscribe(std::move(channel)); }
void RedisConnection::post(std::function<void()> fn, std::chrono::milliseconds delay) {
    impl_->post(std::move(fn), delay);
}
void RedisConnection::every(std::chrono::milliseconds period, std::function<void()> fn) {
    impl_->every(period, std::move(fn));
}

} // namespace murva
