#include "connection/close_handler.hpp"

void handleClose(const WeakSocket& self, const std::shared_ptr<ClientCtx>& ctx) {
    std::lock_guard lock(stateMutex);
    if (ctx->slot >= 0)
        vacateRoomSlot(*ctx);
    releaseConnection(*ctx, self);
}
