// What this instance puts back in the registry after Redis lost it: the members it still has in rooms, one
// restore call per room.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace murva {

// One member of this instance as the registry's client keeps it.
struct HeldMember {
    uint64_t id = 0; // its sharedId
    std::string room;
    std::string nick;
    bool placed = false; // its claim was answered and it is in the room here; a pending claim is not put back
};

struct RestoreCall {
    std::string room;
    uint64_t first = 0;            // the member the reply is about (the room's first one here)
    std::vector<std::string> args; // the restore script's: code, instance, n, then each member's id and nick
};

// One call per room with a placed member, the rooms in order of their codes, their members in the given order.
std::vector<RestoreCall> planRestore(std::string_view instance, const std::vector<HeldMember>& members);

} // namespace murva
