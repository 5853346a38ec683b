// The command table read as a whole: each row's facts about its command
// agree with each other and with what the masking, the audit and ?help do
// with them, so a command added with one fact missing fails here.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "command_fixture.h"
#include "commands/command_audit.h"
#include "commands/command_secrets.h"
#include "commands/command_table.h"
#include "commands/help_texts.h"
#include "core/text.h"

namespace tallysv::testing {
namespace {

constexpr std::string_view kRowPassword = "Pw9Secret";

// A text of the row's command carrying kRowPassword where its password
// work reads a password.
std::string rowTextWithPassword(const CommandEntry& row) {
    const std::string word = row.word;
    const std::string password(kRowPassword);
    switch (row.passwordWork) {
        case PasswordWork::OperatorLogin:
        case PasswordWork::WholeArgument:
            return word + " " + password;
        case PasswordWork::SquadJoin:
        case PasswordWork::AfterName:
            return word + " Bob:" + password;
        case PasswordWork::AfterSwitches:
            return word + " -*2 -g=12 Bob:" + password;
        case PasswordWork::EntryOrWhole:
            return word + " 3:" + password;
        case PasswordWork::AfterScoreID:
            return word + " 12:" + password;
        case PasswordWork::None:
            break;
    }
    return word;
}

TEST(CommandTableRows, EveryPasswordACommandWorksOnIsMasked) {
    int withWork = 0;
    for (const CommandEntry& row : commandTable()) {
        if (row.passwordWork == PasswordWork::None) continue;
        ++withWork;
        EXPECT_NE(row.secret, SecretRule::None) << row.word;
        const std::string typed = rowTextWithPassword(row);
        const std::string shown = maskCommandSecrets(typed);
        EXPECT_EQ(shown.find(kRowPassword), std::string::npos) << typed << " shows as " << shown;
        EXPECT_EQ(shown.substr(shown.size() - 8), "********") << typed;
        // Whatever the case of the word, as a zone may send it.
        std::string upper = typed;
        for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        EXPECT_EQ(maskCommandSecrets(upper).find("PW9SECRET"), std::string::npos) << upper;
    }
    EXPECT_GT(withWork, 0);
}

TEST(CommandTableRows, SecretWordsAreUnambiguous) {
    const auto rows = commandTable();
    for (const CommandEntry& a : rows) {
        for (const CommandEntry& b : rows) {
            if (&a == &b || a.secret == SecretRule::None) continue;
            const std::string_view wordA = a.word;
            const std::string_view wordB = b.word;
            // The masking knows the word, not who typed it.
            if (wordA == wordB) {
                EXPECT_EQ(a.secret, b.secret) << a.word;
            } else if (b.secret != SecretRule::None) {
                // The first secret word a text begins with is its only one.
                EXPECT_NE(wordB.substr(0, wordA.size()), wordA) << a.word << " begins " << b.word;
            }
        }
    }
}

// A text that makes the row's command change what its row says it changes.
std::string rowChangingText(const CommandEntry& row) {
    const std::string word = row.word;
    switch (row.changes) {
        case StateChange::NetworkWithSwitch:
        case StateChange::OwnAccountWithSwitch:
            return word + " on";
        case StateChange::OwnAccountWithEquals:
            return word + "=Somewhere";
        default:
            return word + " Bob:x";
    }
}

class CommandTableAuditTest : public ThreeZoneTest {
protected:
    void SetUp() override {
        loginThreeZones();
        alice = seat(*arena, "Alice", 1);
    }

    bool audited(const CommandEntry& row, const std::string& text, const ControlCaller* caller) {
        CommandContext context(commands, *alice.session, text, static_cast<int>(text.size()),
                               std::string_view(row.word).size());
        context.caller = caller;
        return auditedCommand(row, context);
    }

    bool ownAccount(const CommandEntry& row, const std::string& text) {
        CommandContext context(commands, *alice.session, text, static_cast<int>(text.size()),
                               std::string_view(row.word).size());
        return ownAccountCommand(row, context);
    }

    Seat alice{};
    const ControlCaller caller{1000, 4242};
};

TEST_F(CommandTableAuditTest, EveryStateChangingCommandIsAudited) {
    for (const CommandEntry& row : commandTable()) {
        const std::string word = row.word;
        // A command that stores a password changes state.
        if (row.passwordWork != PasswordWork::None && row.passwordWork != PasswordWork::OperatorLogin) {
            EXPECT_NE(row.changes, StateChange::None) << word;
        }
        const std::string changing = rowChangingText(row);
        switch (row.changes) {
            case StateChange::None:
                for (const std::string& text : {word, word + " Bob:x", word + " on", word + "=x"}) {
                    EXPECT_FALSE(audited(row, text, nullptr)) << text;
                    EXPECT_FALSE(audited(row, text, &caller)) << text;
                }
                break;
            case StateChange::Network:
            case StateChange::NetworkWithArgument:
            case StateChange::NetworkWithSwitch:
                EXPECT_TRUE(audited(row, changing, nullptr)) << changing;
                EXPECT_TRUE(audited(row, changing, &caller)) << changing;
                // Operator actions act on others, not on the caller's account.
                EXPECT_FALSE(ownAccount(row, changing)) << changing;
                break;
            case StateChange::OwnAccount:
            case StateChange::OwnAccountWithEquals:
            case StateChange::OwnAccountWithSwitch:
                // In a zone it is the player's own business.
                EXPECT_FALSE(audited(row, changing, nullptr)) << changing;
                EXPECT_TRUE(audited(row, changing, &caller)) << changing;
                EXPECT_TRUE(ownAccount(row, changing)) << changing;
                break;
        }
        // The conditional rows only show what is set without their value.
        if (row.changes == StateChange::NetworkWithArgument || row.changes == StateChange::NetworkWithSwitch) {
            EXPECT_FALSE(audited(row, word, nullptr)) << word;
        }
        if (row.changes == StateChange::OwnAccountWithEquals || row.changes == StateChange::OwnAccountWithSwitch) {
            EXPECT_FALSE(audited(row, word + " Bob", &caller)) << word;
        }
    }
}

TEST_F(CommandTableAuditTest, OwnAccountReadsAsTheRowSays) {
    struct Case {
        OwnAccountRead read;
        const char* after;  // what follows the word
        bool own;
    };
    // None of these texts changes the account.
    constexpr Case kCases[] = {
        {OwnAccountRead::Always, " Bob", true},        {OwnAccountRead::WithoutText, "", true},
        {OwnAccountRead::WithoutText, " ", false},     {OwnAccountRead::WithoutArgument, " ", true},
        {OwnAccountRead::WithoutArgument, " B", false}, {OwnAccountRead::WithoutName, " B", true},
        {OwnAccountRead::WithoutName, " Bo", false},
    };
    std::set<OwnAccountRead> seen;
    for (const CommandEntry& row : commandTable()) {
        if (row.readsOwnAccount == OwnAccountRead::No) continue;
        for (const Case& c : kCases) {
            if (c.read != row.readsOwnAccount) continue;
            seen.insert(c.read);
            EXPECT_EQ(ownAccount(row, row.word + std::string(c.after)), c.own) << row.word << "|" << c.after;
        }
    }
    EXPECT_EQ(seen.size(), 4u);
}

TEST(CommandTableRows, EveryCommandOpenToPlayersHasHelp) {
    const auto topics = helpTopics();
    auto topicOf = [&](const char* word) -> const HelpTopic* {
        for (const HelpTopic& topic : topics)
            if (matchCommand(word, topic.word, topic.bytes)) return &topic;
        return nullptr;
    };
    std::set<std::string> undocumented;
    for (const CommandEntry& row : commandTable()) {
        if (row.helpTopic) {
            // ?help finds a topic for that word.
            EXPECT_NE(topicOf(row.helpTopic), nullptr) << row.word;
        } else if (row.tier == CommandTier::Everyone || row.tier == CommandTier::AfterTiers) {
            undocumented.insert(row.word);
        }
    }
    // The coin toss is the one player's command ?help has never listed.
    EXPECT_EQ(undocumented, std::set<std::string>{"?coin"});
}

}  // namespace
}  // namespace tallysv::testing
