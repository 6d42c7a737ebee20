#include "connection/admission.hpp"

#include "connection/client_address.hpp"
#include "connection/close_handler.hpp"
#include "signaling/handlers.hpp"
#include "signaling/protocol.hpp"

void handleClient(std::shared_ptr<rtc::WebSocket> socket) {
    const std::string ip = clientIpFromAddress(socket->remoteAddress().value_or(std::string()));
    bool admitted;
    {
        std::lock_guard lock(stateMutex);
        admitted = admitConnection(socket, ip);
    }
    if (!admitted) {
        sendJson(socket, errorMessage(reasonConnectionLimit));
        socket->close();
        return;
    }

    auto ctx = std::make_shared<ClientCtx>();
    ctx->ip = ip;
    const WeakSocket weak = socket;
    socket->onMessage([weak, ctx](rtc::message_variant message) { handleMessage(weak, ctx, std::move(message)); });
    socket->onClosed([weak, ctx] { handleClose(weak, ctx); });
}
