// Grouping the members still held here into the registry's restore calls.
#include "cluster/restore_plan.hpp"

#include <map>

namespace murva {

std::vector<RestoreCall> planRestore(std::string_view instance, const std::vector<HeldMember>& members) {
    std::map<std::string_view, std::vector<const HeldMember*>> rooms;
    for (const HeldMember& member : members)
        if (member.placed)
            rooms[member.room].push_back(&member);
    std::vector<RestoreCall> calls;
    for (const auto& [code, held] : rooms) {
        RestoreCall call{std::string(code),
                         held.front()->id,
                         {std::string(code), std::string(instance), std::to_string(held.size())}};
        for (const HeldMember* member : held) {
            call.args.push_back(std::to_string(member->id));
            call.args.push_back(member->nick);
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

} // namespace murva
