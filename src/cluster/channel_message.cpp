// The channel messages' wire form.
#include "cluster/channel_message.hpp"

#include <charconv>
#include <system_error>

namespace murva {

namespace {

// The next space-delimited field of `text`, which is advanced past it and its delimiter.
std::string_view nextField(std::string_view& text, char delimiter) {
    const auto end = text.find(delimiter);
    if (end == std::string_view::npos) {
        text = {};
        return {};
    }
    const auto field = text.substr(0, end);
    text.remove_prefix(end + 1);
    return field;
}

// A number past 64 bits is refused, not read as whatever `id` held before.
bool parseId(std::string_view field, uint64_t& id) {
    const auto* end = field.data() + field.size();
    const auto [ptr, error] = std::from_chars(field.data(), end, id);
    return !field.empty() && error == std::errc{} && ptr == end;
}

} // namespace

std::string encodeChannelMessage(ChannelMessage::Kind kind, uint64_t to, std::string_view fromInstance, uint64_t fromId,
                                 std::string_view room, std::string_view body) {
    std::string out;
    out.reserve(64 + fromInstance.size() + room.size() + body.size());
    out += static_cast<char>(kind);
    out += ' ';
    out += std::to_string(to);
    out += ' ';
    out += fromInstance;
    out += ' ';
    out += std::to_string(fromId);
    out += ' ';
    out += std::to_string(room.size());
    out += '\n';
    out += room;
    out += body;
    return out;
}

std::optional<ChannelMessage> decodeChannelMessage(std::string_view payload) {
    ChannelMessage message;
    std::string_view rest = payload;
    const auto kind = nextField(rest, ' ');
    if (kind.size() != 1 || std::string_view("MJLABK").find(kind[0]) == std::string_view::npos)
        return std::nullopt;
    message.kind = static_cast<ChannelMessage::Kind>(kind[0]);
    if (!parseId(nextField(rest, ' '), message.to))
        return std::nullopt;
    message.fromInstance = nextField(rest, ' ');
    uint64_t roomSize = 0;
    if (message.fromInstance.empty() || !parseId(nextField(rest, ' '), message.fromId) ||
        !parseId(nextField(rest, '\n'), roomSize) || roomSize > rest.size())
        return std::nullopt;
    message.room = rest.substr(0, roomSize);
    message.body = rest.substr(roomSize);
    return message;
}

} // namespace murva
