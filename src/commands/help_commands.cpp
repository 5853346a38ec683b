#include "commands/help_commands.h"

#include "commands/help_texts.h"
#include "core/text.h"

namespace tallysv {

namespace {

constexpr const char* kPlayerCommands =
    "password, details, setemail, setname, ghost, seen, chat, addchat, leavechat, notifychat, squad, find, "
    "squadcreate, squadjoin, squadlist, squadleave, squadowner";
constexpr const char* kSquadOwnerCommands =
    "password, details, setemail, setname, ghost, seen, chat, addchat, leavechat, notifychat, squad, find, "
    "squadcreate, squadjoin, squadlist, squadleave, squadowner, squaddissolve, squadpassword, squadkick, "
    "squadgrant, squadname";
constexpr const char* kLevelLines[] = {
    "0: write, read, block, networkreset, changepassword, changename, changesquad",
    "1: addzone, listzone, removezone, recyclezone, changezone, closezone",
    "2: bantext, **message, extchat, notifyzone, groupid, scoreid",
    "3: addop, removeop, info",
    ("4: login, changeop, listop, whois, adduser, alias, ban, listban, liftban, commentban, notifyban, dop, banfree, "
     "listbanfree, liftbanfree"),
};

void sendCommandList(CommandContext& command) {
    const UserRecord& user = command.user();
    command.reply(user.squad && user.squad->owner == &user ? kSquadOwnerCommands : kPlayerCommands);
    if (const OperatorRecord* op = command.op()) {
        for (int level = op->level; level <= 4; ++level) command.reply(kLevelLines[level]);
    }
    if (user.registration()) {
        command.reply("(Press ESC to view the entire page. ?help <command> returns detailed info)");
    } else {
        command.reply("***************************************************************************");
        command.reply("WARNING: You have not sent registration form data. Some commands");
        command.reply("         will not function and some settings will not be saved.");
        command.reply("To send registration form data, enter any zone on the network with Voidrift");
    }
}

}  // namespace

void commandHelp(CommandContext& command) {
    if (command.args.size() <= 1) return sendCommandList(command);
    // The topic may follow the word at once; blanks and "?" before it are
    // skipped.
    std::string_view rest = command.afterWord;
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '?')) rest.remove_prefix(1);
    const char* topic = rest.data();
    for (const HelpTopic& entry : helpTopics()) {
        if (!matchCommand(topic, entry.word, entry.bytes)) continue;
        for (const char* line : entry.lines) command.reply(line);
        return;
    }
    command.reply("  Help in this catagory is unavailable");
}

}  // namespace tallysv
