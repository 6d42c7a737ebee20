// The close handler of an admitted connection: leaves its room and gives back what it was counted for.
#pragma once

#include <memory>

#include "signaling/state.hpp"

void handleClose(const WeakSocket& self, const std::shared_ptr<ClientCtx>& ctx);
