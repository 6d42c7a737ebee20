// Asking the sentinels where the master is, and listening for their +switch-master.
#include "cluster/master_locator.hpp"

#include <chrono>
#include <thread>

#include "cluster/sentinel_replies.hpp"

namespace murva {

namespace {
using std::chrono::milliseconds;
} // namespace

struct MasterLocator::Request {
    RedisOptions::Answer answer;
    std::size_t first = 0, asked = 0;
    std::string why; // what the sentinels asked so far said instead of an address
};

MasterLocator::MasterLocator(std::vector<HostPort> sentinels, std::string masterName, std::string password,
                             std::optional<RedisTlsFiles> tls, Handlers handlers)
    : masterName_(std::move(masterName)), handlers_(std::move(handlers)) {
    RedisOptions options;
    options.livenessInterval = milliseconds(1000); // a silent sentinel would keep its +switch-master from us
    if (tls)
        options.tls = *tls;
    for (auto& at : sentinels) {
        RedisEndpoint endpoint;
        endpoint.host = at.host;
        endpoint.port = at.port;
        endpoint.password = password;
        endpoint.tls = tls.has_value();
        const std::string name = "Redis sentinel " + at.text();
        RedisConnection::Handlers queryHandlers;
        queryHandlers.lost = [this, name](const std::string& why) { handlers_.warn(name + " unavailable: " + why); };
        queryHandlers.error = [this, name](const std::string& what) { handlers_.warn(name + ": " + what); };
        RedisConnection::Handlers announcementHandlers;
        announcementHandlers.message = [this](std::string_view, std::string_view payload) {
            auto to = switchedMaster(payload, masterName_);
            if (!to)
                return;
            {
                std::lock_guard lock(mutex_);
                if (announced_ == to)
                    return; // every sentinel says so: once is enough
                announced_ = to;
            }
            handlers_.warn("Redis sentinels moved master " + masterName_ + " to " + to->text());
            handlers_.switched(*to);
        };
        announcementHandlers.error = queryHandlers.error;
        Sentinel sentinel{at, std::make_unique<RedisConnection>(endpoint, std::move(queryHandlers), options),
                          std::make_unique<RedisConnection>(endpoint, std::move(announcementHandlers), options)};
        sentinel.announcements->subscribe(std::string(switchMasterChannel));
        sentinels_.push_back(std::move(sentinel));
    }
}

MasterLocator::~MasterLocator() { close(); }

void MasterLocator::start() {
    for (auto& sentinel : sentinels_) {
        sentinel.announcements->start();
        sentinel.queries->start();
    }
    const auto bound = std::chrono::steady_clock::now() + RedisOptions{}.connectTimeout;
    const auto settled = [this] {
        bool allTried = true;
        for (const auto& sentinel : sentinels_) {
            if (sentinel.queries->connected())
                return true;
            allTried = allTried && sentinel.queries->tried();
        }
        return allTried;
    };
    while (!settled() && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(milliseconds(5));
}

void MasterLocator::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
    }
    // Pending queries are answered with errors on their threads; ask() sees closed_ and ends their requests.
    for (auto& sentinel : sentinels_) {
        sentinel.queries->stop();
        sentinel.announcements->stop();
    }
    for (auto& sentinel : sentinels_) {
        sentinel.queries.reset();
        sentinel.announcements.reset();
    }
}

void MasterLocator::locate(RedisOptions::Answer answer) {
    auto request = std::make_shared<Request>();
    request->answer = std::move(answer);
    {
        std::lock_guard lock(mutex_);
        request->first = next_;
        next_ = (next_ + 1) % sentinels_.size();
    }
    ask(request);
}

void MasterLocator::ask(const std::shared_ptr<Request>& request) {
    std::unique_lock lock(mutex_);
    if (closed_) {
        lock.unlock();
        return request->answer(std::nullopt, "stopped");
    }
    if (request->asked == sentinels_.size()) {
        lock.unlock();
        return request->answer(std::nullopt,
                               "no sentinel gave the address of master " + masterName_ + ":" + request->why);
    }
    const Sentinel& sentinel = sentinels_[(request->first + request->asked++) % sentinels_.size()];
    sentinel.queries->command({"SENTINEL", "get-master-addr-by-name", masterName_},
                              [this, request, at = sentinel.at](const RedisReply& r) {
                                  if (auto address = masterAddress(r))
                                      return request->answer(std::move(address), "");
                                  request->why += " " + at.text() + " said " +
                                                  (r.isError()                       ? r.text
                                                   : r.type == RedisReply::Type::Nil ? "it knows no such master"
                                                                                     : "something else");
                                  ask(request);
                              });
}

} // namespace murva
