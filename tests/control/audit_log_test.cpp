#include "control/audit_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "commands/command_fixture.h"
#include "commands/command_secrets.h"
#include "commands/password_work.h"
#include "support/held_executor.h"

namespace tallysv::testing {
namespace {

// A network-wide operator, Alice, in zone 7 "Arena" of group 3, with Bob
// beside her; every audit line is kept in `records` (and in `lines` as
// the log writes it).
class AuditTest : public CommandTest {
protected:
    void SetUp() override {
        zone = &loginZone(7, 3, "Arena");
        database.createOperator(nullptr, 0, 0, 0, "chief");
        alice = seat(*zone, "Alice", 1);
        bob = seat(*zone, "Bob", 2);
        type(alice, "?login chief");
        ASSERT_NE(alice.session->op, nullptr);
        commands.services.audit = [this](const AuditRecord& record) {
            records.push_back(record);
            lines.push_back(auditLine(record));
        };
    }
    SimZone* zone = nullptr;
    Seat alice{}, bob{};
    std::vector<AuditRecord> records;
    std::vector<std::string> lines;
};

struct AuditedOrNot {
    const char* typed;
    bool audited;
};

// In this order: each row may rely on what the rows above changed.
constexpr AuditedOrNot kCommands[] = {
    {"?addop -3 Bob:OpPass1", true},
    {"?listop", false},
    {"?changeop 2:NewPass1", true},
    {"?removeop 2", true},
    {"?changeop OwnPass1", true},
    {"?ban -d=1 Bob", true},
    {"?listban", false},
    {"?commentban 1:rude", true},
    {"?liftban 1", true},
    {"?banfree Bob", true},
    {"?listbanfree", false},
    {"?liftbanfree 1", true},
    {"?addzone 7:ZonePw1", true},
    {"?changezone 7:ZonePw2", true},
    {"?listzone", false},
    {"?bantext", false},
    {"?bantext Go away", true},
    {"?removezone 7", true},
    {"?extchat", false},
    {"?extchat 0", true},
    {"?extchat on", true},
    {"?adduser Carol:pw", true},
    {"?changepassword Carol:pw2", true},
    {"?changename Carol:Caroline", true},
    {"?squadcreate=Red:pw", false},
    {"?changesquad Red:Caroline", true},
    {"?block Caroline", true},
    {"?info Caroline", false},
    {"?alias Caroline", false},
    {"?groupid", false},
    {"?scoreid", false},
    {"?notifyzone 1", false},
    {"?notifyban 1", false},
    {"?version", false},
    {"?read", true},
    {"?write", true},
    {"?closezone 99", true},
    {"?recyclezone 99", true},
    {"?groupreset", true},
    {"?networkreset", true},
    {"?password=newpw", false},
    {"?squadjoin Red", false},
    {"?coin", false},
    {"?find :Bob", false},
    {"?whois Alice", false},
    {"?login chief", false},
    {"?dop", false},
    {"?write", false},  // no longer an operator: matches nothing
};

TEST_F(AuditTest, OperatorActionsThatChangeStateAreAuditedOthersAreNot) {
    for (const AuditedOrNot& row : kCommands) {
        SCOPED_TRACE(row.typed);
        const size_t before = records.size();
        type(alice, row.typed);
        ASSERT_EQ(records.size(), before + (row.audited ? 1 : 0));
        if (row.audited) {
            EXPECT_EQ(records.back().command, maskCommandSecrets(row.typed));
        }
    }
}

TEST_F(AuditTest, ExactLineWithMaskedPasswordAndOutcome) {
    clock.setNow(1797000000);
    type(alice, "?changepassword Bob:hunter22");
    type(alice, "?changepassword Bob hunter22");  // no ":": does nothing, says nothing
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "{\"time\":\"2026-12-11T14:40:02Z\",\"operator\":1,\"level\":0,\"account\":\"Alice\","
                         "\"zone\":7,\"zoneName\":\"Arena\",\"command\":\"?changepassword Bob:********\","
                         "\"outcome\":\"User information updated\"}",
                         "{\"time\":\"2026-12-11T14:40:04Z\",\"operator\":1,\"level\":0,\"account\":\"Alice\","
                         "\"zone\":7,\"zoneName\":\"Arena\",\"command\":\"?changepassword ********\","
                         "\"outcome\":null}"}));
}

TEST_F(AuditTest, CommandThroughTheSocketNamesItsCaller) {
    clock.setNow(1797000000);
    const ControlCaller caller{1000, 4242};
    const std::string text = "?addzone 12:ZonePw1";
    EXPECT_TRUE(commands.dispatch(*alice.session, text, static_cast<int>(text.size()), &caller));
    EXPECT_EQ(lines, std::vector<std::string>{"{\"time\":\"2026-12-11T14:40:00Z\",\"operator\":1,\"level\":0,"
                                              "\"uid\":1000,\"pid\":4242,\"where\":\"socket\","
                                              "\"command\":\"?addzone 12:********\","
                                              "\"outcome\":\"Zone registered under group 3\"}"});
}

// The workers' queue is full: the operator is told the server is busy,
// and the attempt is on record with that outcome.
TEST_F(AuditTest, AnActionTurnedAwayBusyIsRecorded) {
    HeldExecutor held;
    settings.passwordHashing = true;
    settings.passwordVerifierCache = false;
    zones.setExecutor(held);
    held.setBound(1);
    held.submit(0, [] {}, [] {});
    const PasswordField before = bob.session->user->password;
    EXPECT_EQ(type(alice, "?changepassword Bob:hunter22"), Lines{kPasswordWorkBusy});
    EXPECT_EQ(bob.session->user->password, before);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].command, "?changepassword Bob:********");
    EXPECT_TRUE(records[0].hasOutcome);
    EXPECT_EQ(records[0].outcome, kPasswordWorkBusy);
    EXPECT_EQ(records[0].account, "Alice");
    // A player's own command turned away is no operator action.
    EXPECT_EQ(type(bob, "?password=hunter23"), Lines{kPasswordWorkBusy});
    EXPECT_EQ(records.size(), 1u);
    held.release();
}

TEST_F(AuditTest, OperatorEntryIsTakenBeforeTheCommandRemovesIt) {
    makeOperator(*bob.session, 1);  // entry 2
    type(bob, "?removeop 2");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].operatorEntry, 2);
    EXPECT_EQ(records[0].level, 1);
    EXPECT_EQ(records[0].account, "Bob");
}

// The line is in the log before the reply that tells the outcome leaves:
// of the datagrams the zone gets, those sent before the line was written
// hold the wait notice only.
TEST_F(AuditTest, LineIsWrittenBeforeTheReplyLeaves) {
    size_t sentBeforeLine = SIZE_MAX;
    commands.services.audit = [&](const AuditRecord& record) {
        records.push_back(record);
        sentBeforeLine = zone->fromServer.size();
    };
    texts(*zone);
    clock.advance(2000);
    ASSERT_TRUE(zone->link->sendReliable(zoneclient::command(alice.playerID, "?write"), clock.tick()));
    while (!zone->toServer.empty()) {
        Bytes datagram = std::move(zone->toServer.front());
        zone->toServer.pop_front();
        core.receive(datagram, zone->peer);
    }
    core.maintain();
    ASSERT_NE(sentBeforeLine, SIZE_MAX);
    std::vector<Bytes> sent(zone->fromServer.begin(), zone->fromServer.end());
    zone->fromServer.clear();
    ASSERT_LE(sentBeforeLine, sent.size());
    auto textsIn = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) zone->link->receive(sent[i], clock.tick());
        std::vector<std::string> out;
        while (!zone->link->inbox.empty()) {
            Bytes message = std::move(zone->link->inbox.front());
            zone->link->inbox.pop_front();
            if (!message.empty() && message[0] == 9) out.push_back(zoneclient::parsePlayerText(message)->text);
        }
        return out;
    };
    EXPECT_EQ(textsIn(0, sentBeforeLine), Lines{"Please wait..."});
    EXPECT_EQ(textsIn(sentBeforeLine, sent.size()), Lines{"Database stored to disk"});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, "Database stored to disk");
}

TEST(AuditLine, TextsAreEscapedAndReadBack) {
    AuditRecord record;
    record.time = 1797000000;
    record.operatorEntry = 3;
    record.level = 4;
    record.account = "Bj\xF6rn \"the\" \\one";
    record.scoreID = -5;
    record.zoneName = "Tab\there";
    record.command = "?ban \x01\x7f";
    record.hasOutcome = true;
    record.outcome = "done";
    const std::string line = auditLine(record);
    EXPECT_EQ(line,
              "{\"time\":\"2026-12-11T14:40:00Z\",\"operator\":3,\"level\":4,\"account\":\"Bj\\u00f6rn \\\"the\\\" "
              "\\\\one\",\"zone\":-5,\"zoneName\":\"Tab\\u0009here\",\"command\":\"?ban \\u0001\\u007f\","
              "\"outcome\":\"done\"}");
    std::optional<AuditRecord> back = parseAuditLine(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(auditLine(*back), line);

    record.fromSocket = true;
    record.uid = 4294967295u;
    record.pid = 1;
    record.hasOutcome = false;
    back = parseAuditLine(auditLine(record));
    ASSERT_TRUE(back);
    EXPECT_EQ(auditLine(*back), auditLine(record));

    for (const char* bad : {"", "{}", "not json", "{\"time\":\"2026-12-11T14:40:00Z\"}",
                            "{\"time\":\"yesterday\",\"command\":\"?write\"}",
                            "{\"time\":\"2026-12-11T14:40:00Z\",\"command\":\"?write\"", "{\"command\":\"?write\"}"})
        EXPECT_FALSE(parseAuditLine(bad)) << bad;
}

TEST(AuditLogFile, EachLineIsAppendedAndReopenFollowsARotation) {
    TempDir dir;
    RecordingLog log;
    const std::filesystem::path path = dir.path() / "audit.log";
    AuditLog audit(path.string(), log);
    AuditRecord record;
    record.command = "?write";
    audit.append(record);
    record.command = "?read";
    audit.append(record);
    const std::string first = dir.read("audit.log");
    EXPECT_EQ(first, auditLine([&] { AuditRecord r; r.command = "?write"; return r; }()) + "\n" +
                         auditLine(record) + "\n");

    // logrotate moves the file; lines go on into the moved file until the
    // log is reopened, then into a new one.
    std::filesystem::rename(path, dir.path() / "audit.log.1");
    record.command = "?ban Bob";
    audit.append(record);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(audit.reopen());
    record.command = "?liftban 1";
    audit.append(record);
    EXPECT_EQ(dir.read("audit.log.1"), first + auditLine([&] {
                                           AuditRecord r = record;
                                           r.command = "?ban Bob";
                                           return r;
                                       }()) + "\n");
    EXPECT_EQ(dir.read("audit.log"), auditLine(record) + "\n");
    EXPECT_TRUE(log.lines().empty());
}

TEST(AuditLogFile, AFolderThatCannotBeWrittenIsSaidOnceOnTheConsole) {
    TempDir dir;
    RecordingLog log;
    const std::string failure =
        "Cannot open the audit log " + (dir.path() / "missing" / "audit.log").string() + ": No such file or directory";
    AuditLog audit((dir.path() / "missing" / "audit.log").string(), log);
    AuditRecord record;
    audit.append(record);
    audit.append(record);
    EXPECT_EQ(log.lines(), std::vector<std::string>{failure});
    // A reopen that fails answers with the line the console shows, and
    // says it there again: the reopen starts the file afresh.
    Status reopened = audit.reopen();
    EXPECT_FALSE(reopened);
    EXPECT_EQ(reopened.reason(), failure);
    EXPECT_EQ(reopened.error(), ENOENT);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{failure, failure}));
    std::filesystem::create_directory(dir.path() / "missing");
    audit.append(record);
    EXPECT_EQ(log.lines().back(), "The audit log " + (dir.path() / "missing" / "audit.log").string() +
                                      " is written again");
    EXPECT_EQ(dir.read("missing/audit.log"), auditLine(record) + "\n");
}

TEST(AuditSince, DatesTimesAndSpans) {
    const int64_t now = 1797000000;  // 2026-12-11 14:40:00 UTC
    struct Case {
        const char* text;
        std::optional<int64_t> since;
    };
    const Case cases[] = {
        {"2026-12-11", 1796947200},
        {"2026-12-11 14:40", 1797000000},
        {"2026-12-11T14:40:00Z", 1797000000},
        {"2026-12-11T14:40:01", 1797000001},
        {"90s", now - 90},
        {"30m", now - 1800},
        {"12h", now - 43200},
        {"7d", now - 7 * 86400},
        {"2026-13-01", std::nullopt},
        {"2026-12-11T14", std::nullopt},
        {"yesterday", std::nullopt},
        {"7w", std::nullopt},
        {"d", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parseAuditSince(c.text, now), c.since) << c.text;
}

TEST(AuditTable, FiltersBySinceAndWho) {
    auto line = [](int64_t time, const char* account, const char* command, const char* outcome) {
        AuditRecord record;
        record.time = time;
        record.operatorEntry = 1;
        record.account = account;
        record.scoreID = 7;
        record.zoneName = "Arena";
        record.command = command;
        record.hasOutcome = outcome != nullptr;
        record.outcome = outcome ? outcome : "";
        return auditLine(record) + "\n";
    };
    AuditRecord socket;
    socket.time = 1797000300;
    socket.operatorEntry = 1;
    socket.fromSocket = true;
    socket.uid = 1000;
    socket.pid = 77;
    socket.command = "?write";
    socket.hasOutcome = true;
    socket.outcome = "Database stored to disk";
    const std::string file = line(1796900000, "Alice", "?ban Bob", "Bob banned") + "garbage\n" +
                             line(1797000000, "alice", "?liftban 1", nullptr) +
                             line(1797000100, "Zed\xE9\x1b", "?block Bob", "PassBlock: Banfree") + auditLine(socket) +
                             "\n";
    auto table = [&](AuditFilter filter, int expectedUnreadable = 1) {
        std::istringstream in(file);
        std::ostringstream out;
        EXPECT_EQ(printAuditTable(in, filter, out), expectedUnreadable);
        return out.str();
    };
    EXPECT_EQ(table({}),
              "TIME                 WHO              OPERATOR    WHERE    COMMAND     OUTCOME\n"
              "2026-12-10 10:53:20  Alice            #1 level 0  7 Arena  ?ban Bob    Bob banned\n"
              "2026-12-11 14:40:00  alice            #1 level 0  7 Arena  ?liftban 1  -\n"
              "2026-12-11 14:41:40  Zed\xC3\xA9?            #1 level 0  7 Arena  ?block Bob  PassBlock: Banfree\n"
              "2026-12-11 14:45:00  uid 1000 pid 77  #1 level 0  socket   ?write      Database stored to disk\n");
    AuditFilter since;
    since.since = 1797000000;
    since.who = "ALICE";
    EXPECT_EQ(table(since),
              "TIME                 WHO    OPERATOR    WHERE    COMMAND     OUTCOME\n"
              "2026-12-11 14:40:00  alice  #1 level 0  7 Arena  ?liftban 1  -\n");
    AuditFilter uid;
    uid.who = "1000";
    EXPECT_EQ(table(uid),
              "TIME                 WHO              OPERATOR    WHERE   COMMAND  OUTCOME\n"
              "2026-12-11 14:45:00  uid 1000 pid 77  #1 level 0  socket  ?write   Database stored to disk\n");
}

}  // namespace
}  // namespace tallysv::testing
