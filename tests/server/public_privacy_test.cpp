#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <set>
#include <string>

#include "public/public_pages.h"
#include "server_fixture.h"
#include "support/played_folder.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace tallysv {
namespace {

using testing::ServerFixture;

// A zone over loopback UDP whose players log in and send commands.
class PrivacyTestZone {
public:
    PrivacyTestZone(uint16_t port, int32_t key) {
        std::string reason;
        EXPECT_TRUE(client_.open("127.0.0.1", port, reason)) << reason;
        link_ = std::make_unique<zoneclient::ZoneLink>([this](std::span<const uint8_t> d) { client_.send(d); }, key);
        link_->connect();
        EXPECT_TRUE(pumpUntil([&] { return link_->connected(); }));
    }
    void send(const zoneclient::Bytes& message) { link_->sendReliable(message, zoneclient::monotonicTick()); }
    // Waits for a message of the server that holds `text`.
    bool waitFor(const std::string& text) {
        return pumpUntil([&] {
            for (; !link_->inbox.empty(); link_->inbox.pop_front()) {
                const auto& m = link_->inbox.front();
                if (std::string(m.begin(), m.end()).find(text) != std::string::npos) return true;
            }
            return false;
        });
    }
    template <typename Done>
    bool pumpUntil(Done done, uint32_t limitMs = 5000) {
        uint32_t start = zoneclient::monotonicTick();
        while (!done()) {
            if (zoneclient::monotonicTick() - start > limitMs) return false;
            if (auto d = client_.receive(20)) link_->receive(*d, zoneclient::monotonicTick());
            link_->maintain(zoneclient::monotonicTick());
        }
        return true;
    }

private:
    zoneclient::UdpClient client_;
    std::unique_ptr<zoneclient::ZoneLink> link_;
};

// Every private field of a data folder, filled with a text (or a number
// found nowhere else) that no public page may show.
struct PrivateMarker {
    const char* field;
    const char* marker;
};
const PrivateMarker kPrivateMarkers[] = {
    {"registration real name", "RealNameMarker"},
    {"registration e-mail address", "EmailMarker@example.invalid"},
    {"registration details", "DetailsMarker"},
    {"registration HardwareID", "827364519"},
    {"account address (last accepted entry)", "203.0.113.77"},
    {"address of the players online", "203.0.113.7"},
    {"account MachineID", "918273645"},
    {"MachineID of the players online", "91827364"},
    {"account password", "PasswordMarkerU"},
    {"account banner", "BannerMarker"},
    {"account time zone bias", "-543"},
    {"squad password", "PasswordMarkerS"},
    {"ban: banned name", "BanNameMarker"},
    {"ban: comment", "BanCommentMarker"},
    {"ban: address range start", "198.51.100.23"},
    {"ban: address range end", "198.51.100.99"},
    {"ban: MachineID", "736451928"},
    {"ban: HardwareID", "645192837"},
    {"ban: GroupID", "1928374655"},
    {"banfree: GroupID", "1029384756"},
    {"banfree: ScoreID", "1122334455"},
    {"operator: GroupID", "1213141516"},
    {"operator: password", "PasswordMarkerO"},
    {"zone record: password", "PasswordMarkerZ"},
    {"zone record: ban text", "ZoneBanTextMarker"},
    {"zone record: GroupID", "1314151617"},
    {"zone login password", "BillingMarker"},
};

// The words that would name private records on a page.
const char* const kPrivateWords[] = {"banfree", "operator", "e-mail", "email", "machineid", "hardwareid", "password",
                                     "address", "ghost"};

class PublicPrivacyTest : public ::testing::Test {
protected:
    PublicPrivacyTest()
        : f("PublicListen=127.0.0.1:0\nAllowNewUsers=1\nBillingPassword=BillingMarker\n[Comms]\nAskNewUsers=0\n") {}

    void fillPrivateFields() {
        MutexLock guard(f.server.lock());
        Database& db = f.database;
        testing::PlayedFolderShape shape;
        shape.accounts = 40;
        shape.scoreGroups = 3;
        shape.squads = 4;
        shape.now = f.clock.now();
        testing::fillPlayedDatabase(db, shape);
        std::vector<UserRecord*> users(db.users().begin(), db.users().end());
        for (UserRecord* user : users) {
            db.setUserAddress(*user, {203, 0, 113, 77}, 918273645);
            User2Record* form = db.registerUser(*user, "RealNameMarker", "EmailMarker@example.invalid", 827364519);
            form->details.set("DetailsMarker");
            user->password = db.passwordField("PasswordMarkerU");
            user->timeZoneBias = -543;
            for (size_t i = 0; i < user->banner.size(); ++i) user->banner[i] = static_cast<uint8_t>("BannerMarker"[i % 12]);
        }
        for (const SquadRecord* squad : db.squads()) const_cast<SquadRecord*>(squad)->password = db.passwordField("PasswordMarkerS");
        BanRecord* ban = db.createBan(*users[3], users[0], 30);
        ban->name.set("BanNameMarker");
        ban->comment.set("BanCommentMarker");
        ban->rangeStart = {198, 51, 100, 23};
        ban->rangeEnd = {198, 51, 100, 99};
        ban->machineID = 736451928;
        ban->hardwareID = 645192837;
        ban->groupID = 1928374655;
        db.createBanfree(users[5]->userID(), 1029384756, 1122334455);
        db.createOperator(users[6], 1213141516, 0, 2, "PasswordMarkerO");
        ZoneRecord* zone = db.createZone(55, 1314151617, "PasswordMarkerZ");
        zone->BanText.set("ZoneBanTextMarker");
    }

    // The page and its JSON, each with a status of 200.
    void fetch(const std::string& path, const httplib::Params& params = {}) {
        httplib::Client client("127.0.0.1", f.server.publicSite()->port());
        for (const std::string& asked : {path, path == "/" ? std::string("/index.json") : path + ".json"}) {
            auto got = client.Get(asked, params, httplib::Headers{});
            ASSERT_TRUE(got) << asked;
            EXPECT_EQ(got->status, 200) << asked << " " << got->body;
            std::string name = asked;
            for (const auto& [key, value] : params) name += " " + key + "=" + value;
            pages[name] = got->body;
        }
    }

    ServerFixture f;
    std::map<std::string, std::string> pages;
};

TEST_F(PublicPrivacyTest, NoPageOrJsonShowsAnyPrivateField) {
    ASSERT_TRUE(f.server.startup());
    ASSERT_NE(f.server.publicSite(), nullptr);
    fillPrivateFields();

    PrivacyTestZone arena(f.server.udpPort(), 21);
    arena.send(zoneclient::zoneLogin(1, 1, "Arena", "BillingMarker"));
    PrivacyTestZone hideout(f.server.udpPort(), 22);
    hideout.send(zoneclient::zoneLogin(1, 9, "Hideout", "BillingMarker"));
    ASSERT_TRUE(arena.pumpUntil([&] {
        MutexLock guard(f.server.lock());
        return f.log.contains("9 - Docking granted: Hideout") && f.log.contains("1 - Docking granted: Arena");
    }));
    auto login = [](const char* name, uint32_t id, uint8_t host) {
        zoneclient::PlayerLogin l;
        l.name = name;
        l.password = "pw";
        l.playerId = id;
        l.address = {203, 0, 113, host};
        l.machineId = 918273640 + host;
        return zoneclient::playerLogin(l);
    };
    arena.send(login("Vera", 1, 78));
    hideout.send(login("Spectre", 1, 79));
    ASSERT_TRUE(arena.waitFor("Vera"));
    ASSERT_TRUE(hideout.waitFor("Spectre"));
    hideout.send(zoneclient::command(1, "?ghost 1"));
    ASSERT_TRUE(hideout.waitFor("Ghosting ENABLED"));
    ASSERT_TRUE(f.server.saveNow());
    f.server.publicSite()->waitLoaded();
    std::shared_ptr<const PublicData> data = f.server.publicSite()->data();
    ASSERT_TRUE(data && data->findAccount("Spectre")) << "the site has not read the save";

    fetch("/");
    fetch("/scores");
    for (const PublicData::Group& group : data->groups())
        for (int by = 1; by <= 5; ++by) fetch("/scores/" + std::to_string(group.scoreID), {{"by", std::to_string(by)}});
    for (const PublicData::Account& account : data->accounts()) fetch("/player", {{"name", account.name}});
    fetch("/squads");
    for (const PublicData::Squad& squad : data->squads()) fetch("/squad", {{"name", squad.name}});
    fetch("/search");
    for (char c = 'a'; c <= 'z'; ++c) fetch("/search", {{"q", std::string(1, c)}});
    ASSERT_GT(pages.size(), 2 * (2u + 3 * 5 + 42 + 1 + 4 + 27) - 1);

    for (const auto& [name, body] : pages) {
        for (const PrivateMarker& m : kPrivateMarkers)
            EXPECT_EQ(body.find(m.marker), std::string::npos) << name << " shows the " << m.field;
        std::string folded = body;
        for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* word : kPrivateWords) EXPECT_EQ(folded.find(word), std::string::npos) << name << " says " << word;
    }
    // What is public is there: the player online who is not ghosted, and
    // the ghosted one as an account that is not online.
    EXPECT_NE(pages["/index.json"].find("{\"name\":\"Vera\",\"zone\":\"Arena\"}"), std::string::npos) << pages["/index.json"];
    EXPECT_EQ(pages["/index.json"].find("Spectre"), std::string::npos);
    EXPECT_NE(pages["/player.json name=Spectre"].find("\"online\":false,\"zone\":null"), std::string::npos)
        << pages["/player.json name=Spectre"];
    // Where the ghosted player is: its zone is online, with no player
    // counted, and named on no page of the player.
    EXPECT_NE(pages["/index.json"].find("{\"name\":\"Hideout\",\"score_id\":9,\"players\":0}"), std::string::npos);
    for (const char* page : {"/player name=Spectre", "/player.json name=Spectre"})
        EXPECT_EQ(pages[page].find("Hideout"), std::string::npos) << pages[page];
    EXPECT_NE(pages["/player.json name=Vera"].find("\"online\":true,\"zone\":\"Arena\""), std::string::npos);
}

}  // namespace
}  // namespace tallysv
