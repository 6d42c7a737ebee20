#include "connection/close_handler.hpp"

#include "signaling/console_lines.hpp"

void handleClose(const WeakSocket& self, const std::shared_ptr<ClientCtx>& ctx) {
    StateLock lock;
    if (ctx->slot >= 0)
        vacateRoomSlot(*ctx);
    releaseConnection(*ctx, self);
}
