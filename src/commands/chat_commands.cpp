#include "commands/chat_commands.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/text.h"
#include "core/text_string.h"

namespace tallysv {

namespace {

constexpr int kSlots = 9;
constexpr size_t kNameRead = 32;  // characters of a name that are read
constexpr int kNormalizedLimit = 31;
constexpr int kNamesPerLine = 10;

void reportNotify(CommandContext& command) {
    command.reply(command.player.NotifyChat ? "Chat notify ENABLED" : "Chat notify DISABLED");
}

// A channel name given to ?leavechat or ?chat=: blanks at the ends dropped,
// runs of blanks made one, at most 31 characters read.
std::string normalizedChannelName(std::string_view text) {
    std::string source(text.substr(0, std::min(text.size(), kNameRead)));
    char name[kNormalizedLimit + 1];
    normalizeName(name, source.c_str(), kNormalizedLimit);
    return name;
}

bool hiddenFromListing(const PlayerSession& member) { return member.ghosting && member.op; }

void listChannel(CommandContext& command, int slot, const ChatChannel& channel) {
    // Ghosted operators are left out altogether, also from the commas, so
    // that the listing gives no hint of them.
    std::vector<const PlayerSession*> shown;
    for (const ChatMember& member : channel.members())
        if (!hiddenFromListing(*member.session)) shown.push_back(member.session);
    TextString line;
    line.assign(slot).append(")").append(channel.nameText()).append(": ");
    int inLine = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        line.append(shown[i]->name());
        if (++inLine == kNamesPerLine) {
            command.reply(line.view());
            line.assign("");
            inLine = 0;
        } else if (i + 1 < shown.size()) {
            line.append(",");
        }
    }
    if (inLine > 0) command.reply(line.view());
}

void reassignChannels(CommandContext& command) {
    ZoneProtocol& zones = command.zones;
    PlayerSession& player = command.player;
    if (command.args.empty()) return zones.leaveAllChannels(player, true);

    // Channels that others share stay quiet if the player keeps them.
    std::vector<const ChatChannel*> remembered;
    for (int slot = 1; slot <= kSlots; ++slot) {
        const ChatChannel* channel = player.chatSlot(slot);
        if (channel && channel->members().size() >= 2) remembered.push_back(channel);
    }
    zones.leaveAllChannels(player, false);

    std::string_view rest = textOf(command.args);
    int slot = 1;
    while (slot <= kSlots) {
        size_t comma = rest.find(',');
        std::string_view piece = rest.substr(0, comma);
        std::string name = normalizedChannelName(piece);
        if (!name.empty()) {
            if (ChatChannel* channel = zones.joinChannel(player, name, slot, false)) {
                auto kept = std::find(remembered.begin(), remembered.end(), channel);
                if (kept != remembered.end())
                    remembered.erase(kept);
                else
                    zones.sendChannelNotice(*channel, player, ZoneProtocol::ChannelNotice::Entering);
                ++slot;
            }
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    for (const ChatChannel* channel : remembered)
        zones.sendChannelNotice(*channel, player, ZoneProtocol::ChannelNotice::Leaving);
}

}  // namespace

void commandNotifychat(CommandContext& command) {
    const int value = command.onOffSwitch("1yYtT", "0nNfF");
    if (value < 0) return reportNotify(command);
    command.reply(value ? "Chat notify ENABLED" : "Chat notify DISABLED");
    command.player.NotifyChat = static_cast<uint8_t>(value);
    if (User2Record* registration = command.user().registration()) registration->NotifyChat = value != 0;
}

void commandAddchat(CommandContext& command) {
    if (command.args.empty()) return;
    std::string_view rest = textOf(command.args);
    while (!rest.empty()) {
        size_t end = rest.find_first_of(", ");
        std::string_view name = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (name.empty()) continue;
        int slot = 1;
        while (slot <= kSlots && command.player.chatSlot(slot)) ++slot;
        if (slot > kSlots) return command.reply("Channel list full");
        command.zones.joinChannel(command.player, name.substr(0, kNameRead), slot, true);
    }
}

void commandLeavechat(CommandContext& command) {
    if (command.args.empty()) return;
    std::string name = normalizedChannelName(textOf(command.args));
    if (name.size() == 1 && name[0] >= '1' && name[0] <= '9')
        return command.zones.leaveChannel(command.player, name[0] - '0', true);
    for (int slot = 1; slot <= kSlots; ++slot) {
        const ChatChannel* channel = command.player.chatSlot(slot);
        if (channel && channel->name() == name) return command.zones.leaveChannel(command.player, slot, true);
    }
}

void commandChat(CommandContext& command) {
    const char separator = command.separator();
    if (separator == ' ' || separator == '=') return reassignChannels(command);
    for (int slot = 1; slot <= kSlots; ++slot)
        if (const ChatChannel* channel = command.player.chatSlot(slot)) listChannel(command, slot, *channel);
}

}  // namespace tallysv
