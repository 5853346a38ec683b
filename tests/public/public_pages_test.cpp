#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "public/public_pages.h"
#include "support/played_folder.h"

namespace tallysv {
namespace {

// A database in memory with the accounts and scores a test makes.
struct PublicPagesFixture {
    Settings settings;
    FakeClock clock;
    DiscardLog log;
    Database db{settings, clock, log};
    UserRecord& user(const std::string& name) { return *db.createUser(name, "pw", {10, 0, 0, 1}, 200000, 0); }
    void score(UserRecord& u, int32_t scoreID, ScoreValues v) {
        ScoreRecord* s = db.createScore(u, scoreID);
        s->WordStat1 = static_cast<int16_t>(v[0]);
        s->WordStat2 = static_cast<int16_t>(v[1]);
        s->WordStat3 = static_cast<int16_t>(v[2]);
        s->LongStat1 = v[3];
        s->LongStat2 = v[4];
    }
    PublicAnswer get(const std::string& path, std::map<std::string, std::string> params = {}, bool json = true,
                     const PublicOnline& online = {}) {
        if (!data) data = PublicData::build(db, 1765400000);
        HistoryView history;
        return renderPublicPage({path, json, std::move(params)}, {*data, online, history, labels});
    }
    std::shared_ptr<const PublicData> data;
    ScoreLabels labels;
};

// The names of the rows of a table's JSON, in order.
std::vector<std::string> rowNamesOfPublicJson(const std::string& json) {
    std::vector<std::string> names;
    for (size_t at = json.find("\"name\":\"", json.find("\"rows\":")); at != std::string::npos;
         at = json.find("\"name\":\"", at + 1)) {
        const size_t start = at + 8;
        names.push_back(json.substr(start, json.find('"', start) - start));
    }
    return names;
}

// Each value of a score group ranks its players best first, ties going to
// the account made first; a player's rank on its page is its place there.
TEST(PublicScoreTables, RankEveryValueBestFirstWithTiesByAge) {
    PublicPagesFixture f;
    UserRecord& ann = f.user("Ann");
    UserRecord& ben = f.user("Ben");
    UserRecord& cy = f.user("Cy");
    UserRecord& dee = f.user("Dee");
    f.score(ann, 4, {5, 9, 0, 300, -7});
    f.score(ben, 4, {7, 1, 2, 300, 10});
    f.score(cy, 4, {5, 4, 2, 100, 10});
    f.score(dee, 8, {99, 99, 99, 99, 99});  // another group
    struct Case {
        const char* by;
        std::vector<std::string> order;
    } cases[] = {
        {"1", {"Ben", "Ann", "Cy"}}, {"2", {"Ann", "Cy", "Ben"}}, {"3", {"Ben", "Cy", "Ann"}},
        {"4", {"Ann", "Ben", "Cy"}}, {"5", {"Ben", "Cy", "Ann"}},
    };
    for (const Case& c : cases) {
        PublicAnswer got = f.get("/scores/4", {{"by", c.by}});
        EXPECT_EQ(got.status, 200);
        EXPECT_EQ(rowNamesOfPublicJson(got.body), c.order) << "by " << c.by << ": " << got.body;
    }
    PublicAnswer cyPage = f.get("/player", {{"name", "cY"}});
    EXPECT_NE(cyPage.body.find("\"Kills\":{\"value\":5,\"rank\":3},\"Deaths\":{\"value\":4,\"rank\":2},"
                               "\"Flags\":{\"value\":2,\"rank\":2},\"Kill points\":{\"value\":100,\"rank\":3},"
                               "\"Flag points\":{\"value\":10,\"rank\":2}"),
              std::string::npos)
        << cyPage.body;
    EXPECT_EQ(f.get("/scores/5").status, 404);
}

// Pages of a hundred follow the full ranking computed here from the
// records themselves, and a page past the end is not found.
TEST(PublicScoreTables, PagesAreSlicesOfTheWholeRanking) {
    PublicPagesFixture f;
    testing::PlayedFolderShape shape;
    shape.accounts = 250;
    shape.scoreGroups = 1;
    shape.now = 1765400000;
    testing::fillPlayedDatabase(f.db, shape);
    std::vector<std::tuple<int32_t, int32_t, std::string>> expected;  // -points, UserID, name
    for (const ScoreRecord* s : f.db.scores())
        expected.emplace_back(-s->LongStat1, s->user->userID(), std::string(s->user->name()));
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), 250u);
    for (size_t page = 1; page <= 3; ++page) {
        PublicAnswer got = f.get("/scores/1", {{"by", "4"}, {"page", std::to_string(page)}});
        std::vector<std::string> names = rowNamesOfPublicJson(got.body);
        ASSERT_EQ(names.size(), page < 3 ? 100u : 50u) << got.body;
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(names[i], std::get<2>(expected[(page - 1) * 100 + i])) << "page " << page << " row " << i;
        EXPECT_NE(got.body.find("\"rank\":" + std::to_string((page - 1) * 100 + 1) + ","), std::string::npos);
    }
    EXPECT_EQ(f.get("/scores/1", {{"page", "4"}}).status, 404);
    // Anything not a page number is the first page.
    EXPECT_EQ(rowNamesOfPublicJson(f.get("/scores/1", {{"by", "4"}, {"page", "x"}}).body).front(),
              std::get<2>(expected.front()));
}

// A player is found as the server finds an account: by the first 19
// characters in any case; a search lists names that begin with the text.
TEST(PublicPlayers, FoundByNameAsTheServerFindsThemAndSearchedByPrefix) {
    PublicPagesFixture f;
    f.user("Abcdefghijklmnopqrs long");
    f.user("abe");
    f.user("Abel");
    f.user("Zed");
    struct Case {
        const char* asked;
        const char* found;  // empty: none
    } cases[] = {
        {"ABCDEFGHIJKLMNOPQRS other", "Abcdefghijklmnopqrs long"},
        {"abe", "abe"},
        {"ABEL", "Abel"},
        {"Ab", ""},
        {"Zedd", ""},
    };
    for (const Case& c : cases) {
        PublicAnswer got = f.get("/player", {{"name", c.asked}});
        if (*c.found) {
            EXPECT_EQ(got.status, 200) << c.asked;
            EXPECT_EQ(got.body.rfind("{\"name\":\"" + std::string(c.found) + "\"", 0), 0u) << got.body;
        } else {
            EXPECT_EQ(got.status, 404) << c.asked;
        }
    }
    EXPECT_EQ(f.get("/search", {{"q", "aB"}}).body,
              "{\"q\":\"aB\",\"players\":[\"Abcdefghijklmnopqrs long\",\"abe\",\"Abel\"]}\n");
    EXPECT_EQ(f.get("/search", {{"q", "abe"}}).body, "{\"q\":\"abe\",\"players\":[\"abe\",\"Abel\"]}\n");
}

// Squads are listed largest first, and a squad's page marks its owner.
TEST(PublicSquads, ListedBySizeWithTheOwnerMarked) {
    PublicPagesFixture f;
    UserRecord& a = f.user("Ada");
    UserRecord& b = f.user("Bo");
    UserRecord& c = f.user("Cid");
    SquadRecord* small = f.db.createSquad("Small", "x", &a);
    SquadRecord* large = f.db.createSquad("Large", "x", &c);
    f.db.addSquadMember(*small, a);
    f.db.addSquadMember(*large, b);
    f.db.addSquadMember(*large, c);
    EXPECT_EQ(f.get("/squads").body,
              "{\"squads\":2,\"page\":1,\"pages\":1,\"rows\":[{\"name\":\"Large\",\"members\":2,\"owner\":\"Cid\"},"
              "{\"name\":\"Small\",\"members\":1,\"owner\":\"Ada\"}]}\n");
    EXPECT_EQ(f.get("/squad", {{"name", "large"}}).body,
              "{\"name\":\"Large\",\"owner\":\"Cid\",\"members\":[{\"name\":\"Bo\",\"owner\":false,\"last_login\":" +
                  std::to_string(b.lastLogin) + "},{\"name\":\"Cid\",\"owner\":true,\"last_login\":" +
                  std::to_string(c.lastLogin) + "}]}\n");
    const std::string html = f.get("/squad", {{"name", "Large"}}, false).body;
    EXPECT_NE(html.find(">Cid</a> <strong>(owner)</strong>"), std::string::npos) << html;
}

// The player page says where a player online is; names are written as
// UTF-8 from the network's Latin-1 and escaped in HTML and JSON alike.
TEST(PublicPlayers, OnlineZoneAndEscapedNames) {
    PublicPagesFixture f;
    f.user("Jos\xe9 <b>\"q\"");
    PublicOnline online;
    online.now = 1765400100;
    online.zones.push_back({"Arena & Co", 1, 1});
    online.players.push_back({"Jos\xe9 <b>\"q\"", 0});
    const std::string json = f.get("/player", {{"name", "Jos\xc3\xa9 <b>\"q\""}}, true, online).body;
    EXPECT_EQ(json.rfind("{\"name\":\"Jos\xc3\xa9 <b>\\\"q\\\"\",\"squad\":null,", 0), 0u) << json;
    EXPECT_NE(json.find("\"online\":true,\"zone\":\"Arena & Co\""), std::string::npos) << json;
    const std::string html = f.get("/player", {{"name", "jos\xc3\xa9 <B>\"q\""}}, false, online).body;
    EXPECT_NE(html.find("<h1>Player Jos\xc3\xa9 &lt;b&gt;&quot;q&quot;</h1>"), std::string::npos) << html;
    EXPECT_NE(html.find("<td>in Arena &amp; Co</td>"), std::string::npos) << html;
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    const std::string network = f.get("/", {}, false, online).body;
    EXPECT_NE(network.find("<a href=\"/player?name=Jos%C3%A9%20%3Cb%3E%22q%22\">"), std::string::npos) << network;
}

// Five names for the network, five for single ScoreIDs; a list of another
// length is ignored, an empty name keeps the network's.
TEST(PublicScoreLabels, NetworkAndPerScoreID) {
    struct Case {
        const char* network;
        const char* byScoreID;
        int32_t scoreID;
        ScoreLabelSet expected;
    } cases[] = {
        {"", "", 3, {"Kills", "Deaths", "Flags", "Kill points", "Flag points"}},
        {"K, D, F, KP, FP", "", 3, {"K", "D", "F", "KP", "FP"}},
        {"K,D,F", "", 3, {"Kills", "Deaths", "Flags", "Kill points", "Flag points"}},
        {"K, D, F, KP, FP", "3: Wins, Losses, , Rating, Streak; 4:a,b", 3, {"Wins", "Losses", "F", "Rating", "Streak"}},
        {"K, D, F, KP, FP", "3: Wins, Losses, , Rating, Streak; 4:a,b", 4, {"K", "D", "F", "KP", "FP"}},
        {"", "-2:a,b,c,d,e", -2, {"a", "b", "c", "d", "e"}},
        {"", "x:a,b,c,d,e", 0, {"Kills", "Deaths", "Flags", "Kill points", "Flag points"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseScoreLabels(c.network, c.byScoreID).of(c.scoreID), c.expected)
            << c.network << " | " << c.byScoreID << " | " << c.scoreID;
}

}  // namespace
}  // namespace tallysv
