#include <gtest/gtest.h>

#include "command_fixture.h"
#include "commands/command_secrets.h"

namespace tallysv::testing {
namespace {

// A command as typed and the console line it leaves, for a network-wide
// operator who reaches every command.
struct MaskedLine {
    const char* typed;
    const char* shown;
};

constexpr MaskedLine kMaskedLines[] = {
    // Whole argument: the separator stays, blanks inside are the password's.
    {"?login L0mBAanRFNajetEV", "7 - Alice>?login ********"},
    {"?login=L0mBAanRFNajetEV", "7 - Alice>?login=********"},
    {"?login  two words", "7 - Alice>?login ********"},
    {"?LOGIN Secret1", "7 - Alice>?LOGIN ********"},
    {"?loginSecret1", "7 - Alice>?login********"},
    {"?login", "7 - Alice>?login"},
    {"?login ", "7 - Alice>?login "},
    {"?password=hunter22", "7 - Alice>?password=********"},
    {"?password hunter22", "7 - Alice>?password ********"},
    {"?password=", "7 - Alice>?password="},
    {"?squadpassword=SquadPw1", "7 - Alice>?squadpassword=********"},
    {"?squadpassword SquadPw1", "7 - Alice>?squadpassword ********"},
    // Target, ":", password: the target stays.
    {"?changepassword=Bob:hunter22", "7 - Alice>?changepassword=Bob:********"},
    {"?changepassword Bob:hunter22", "7 - Alice>?changepassword Bob:********"},
    {"?changepassword Bob:", "7 - Alice>?changepassword Bob:********"},
    {"?changepassword Bob hunter22", "7 - Alice>?changepassword ********"},
    {"?adduser Carol:pa:ss", "7 - Alice>?adduser Carol:********"},
    {"?adduser=Carol:NewUserPw", "7 - Alice>?adduser=Carol:********"},
    {"?addzone 12:ZonePw1", "7 - Alice>?addzone 12:********"},
    {"?addzone=13:ZonePw1", "7 - Alice>?addzone=13:********"},
    {"?addzone ZonePw1", "7 - Alice>?addzone ********"},
    {"?changezone 12:ZonePw2", "7 - Alice>?changezone 12:********"},
    {"?changezone=12:", "7 - Alice>?changezone=12:********"},
    {"?squadcreate=Red:SquadPw1", "7 - Alice>?squadcreate=Red:********"},
    {"?squadcreate Red Team:SquadPw1", "7 - Alice>?squadcreate Red Team:********"},
    {"?squadjoin=Red:SquadPw1", "7 - Alice>?squadjoin=Red:********"},
    {"?squadjoin Red", "7 - Alice>?squadjoin Red"},
    // ?addop: switches before the name stay.
    {"?addop Bob:OpPass1", "7 - Alice>?addop Bob:********"},
    {"?addop -3 Bob:OpPass1", "7 - Alice>?addop -3 Bob:********"},
    {"?addop -*2 -g=12 Bob:OpPass1", "7 - Alice>?addop -*2 -g=12 Bob:********"},
    {"?addop=-3 Bob:OpPass1", "7 - Alice>?addop=-3 Bob:********"},
    {"?addop -3 OpPass1", "7 - Alice>?addop -3 ********"},
    {"?addop -3", "7 - Alice>?addop -3"},
    // ?changeop: an entry number stays; the own-password form is all secret.
    {"?changeop 3:OpPass2", "7 - Alice>?changeop 3:********"},
    {"?changeop=3:OpPass2", "7 - Alice>?changeop=3:********"},
    {"?changeop 3:", "7 - Alice>?changeop 3:********"},
    {"?changeop OpPass2", "7 - Alice>?changeop ********"},
    {"?changeop x3:OpPass2", "7 - Alice>?changeop ********"},
    // Blanks and tabs before the word: masked all the same, kept as typed.
    {" ?login L0mBAanRFNajetEV", "7 - Alice> ?login ********"},
    {"\t?login L0mBAanRFNajetEV", "7 - Alice>\\x09?login ********"},
    {" \t ?changepassword Bob:hunter22", "7 - Alice> \\x09 ?changepassword Bob:********"},
    {"  ?addop -3 Bob:OpPass1", "7 - Alice>  ?addop -3 Bob:********"},
    {" ?login", "7 - Alice> ?login"},
    {"   ", "7 - Alice>   "},
    // Commands without a password are shown as typed.
    {"?ban -d=7 Bob", "7 - Alice>?ban -d=7 Bob"},
    {"?changename Bob:Robert", "7 - Alice>?changename Bob:Robert"},
    {"?changesquad Red:Bob", "7 - Alice>?changesquad Red:Bob"},
    {"?squadname Blue", "7 - Alice>?squadname Blue"},
    {"?find :Alice", "7 - Alice>?find :Alice"},
};

class CommandSecretsTest : public CommandTest {
protected:
    void SetUp() override {
        zone = &loginZone(7, 3, "Arena");
        database.createOperator(nullptr, 0, 0, 0, "L0mBAanRFNajetEV");
        alice = seat(*zone, "Alice", 1);
        seat(*zone, "Bob", 2);
        type(alice, "?login L0mBAanRFNajetEV");
        ASSERT_NE(alice.session->op, nullptr);
    }
    SimZone* zone = nullptr;
    Seat alice{};
};

TEST_F(CommandSecretsTest, ConsoleLineOfEachCommandForm) {
    for (const MaskedLine& row : kMaskedLines) {
        SCOPED_TRACE(row.typed);
        log.clear();
        type(alice, row.typed);
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines().front(), row.shown);
    }
}

TEST_F(CommandSecretsTest, UnknownPlayerLineIsMaskedToo) {
    log.clear();
    typeRaw(alice, zoneclient::command(99, "?login L0mBAanRFNajetEV"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"7 - (INVALID)>?login ********"});
}

TEST(MaskCommandSecrets, TextEndsAtItsFirstNul) {
    // The commands read the password up to the NUL; what follows it is
    // shown nowhere either.
    EXPECT_EQ(maskCommandSecrets(std::string("?password=abc\0def", 17)), "?password=********");
    EXPECT_EQ(maskCommandSecrets(std::string("?coin\0?login secret", 19)), "?coin");
    EXPECT_EQ(maskCommandSecrets(""), "");
}

}  // namespace
}  // namespace tallysv::testing
