// The thread-local chain of upgrade requests whose onClient runs on this thread.
#include "transport/detail/upgrade_request.hpp"

namespace rtc::detail {
namespace {

thread_local UpgradeRequestScope* current = nullptr;

} // namespace

UpgradeRequestScope::UpgradeRequestScope(const Connection* connection, std::optional<HttpRequest>& slot, Build build,
                                         const void* context)
    : connection_(connection), slot_(slot), build_(build), context_(context), outer_(current) {
    current = this;
}

UpgradeRequestScope::~UpgradeRequestScope() { current = outer_; }

const HttpRequest* UpgradeRequestScope::request(const Connection* connection) {
    if (connection != connection_)
        return outer_ ? outer_->request(connection) : nullptr;
    if (!slot_)
        slot_ = build_(context_);
    return &*slot_;
}

const HttpRequest* currentUpgradeRequest(const Connection* connection) {
    return current ? current->request(connection) : nullptr;
}

} // namespace rtc::detail
