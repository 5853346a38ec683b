#include "sim/whole_network.h"

#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include "commands/server_core.h"
#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "net/core_transport.h"
#include "sim/invariants.h"
#include "support/simulated_network.h"
#include "support/temp_dir.h"
#include "zone/zone_protocol.h"
#include "zoneclient/messages.h"
#include "zoneclient/zone_link.h"

namespace tallysv::sim {

namespace {

using zoneclient::Bytes;
using Files = std::map<std::string, std::string>;

constexpr uint32_t kStep = 50;               // ms of one step; the server's maintenance period
constexpr uint32_t kSaveInterval = 20000;    // ms between periodic saves
constexpr uint32_t kHeartbeat = 2000;        // ms between a zone's numbered log lines
constexpr uint32_t kZoneGivesUp = 20000;     // ms a zone waits for any answer while it has messages unacknowledged
constexpr uint32_t kReconnectEvery = 3000;   // ms between connection requests of a zone not yet answered
constexpr double kInterruptedSave = 0.25;    // share of saves cut short at one of their steps
constexpr int kOperatorAccounts = 5;         // Op0 to Op4, of levels 0 to 4
constexpr int kPlayerAccounts = 20;          // Pl0 to Pl19
constexpr size_t kMaxAccounts = 60;
constexpr int kLinkSpan = 100000;
constexpr int32_t kMachineIDs = 200000;      // clients with low machine IDs are locked out as fakes            // link id = zone * kLinkSpan + incarnation

const char* const kFiles[] = {"Squad.dat", "User.dat", "Score.dat", "Ban.dat",
                              "User2.dat", "Op.dat",   "Zone.dat",  "Banfree.dat"};

const char* const kIni =
    "[Misc]\nAllowNewUsers=1\nBackupInterval=0\nSysopPassword=sysop\nWhoisServer=127.0.0.1:9\nWhoisTimeout=50\n"
    "[Comms]\nAskNewUsers=0\nDisableHelp=0\n";

// Saves are many and small: a folder in memory where there is one.
std::filesystem::path folderParent() {
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) return "/dev/shm";
    return std::filesystem::temp_directory_path();
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The eight files as they are in the folder; `pending` reads a save that
// has committed but not yet renamed all its files as it will be once
// finished.
Files readSet(const std::filesystem::path& folder, bool pending = false) {
    Files files;
    for (const char* name : kFiles) {
        std::filesystem::path fresh = folder / (std::string(name) + ".new");
        if (pending && std::filesystem::exists(fresh))
            files[name] = readFile(fresh);
        else if (std::filesystem::exists(folder / name))
            files[name] = readFile(folder / name);
    }
    return files;
}

// The server's console: complete lines, taken after each step, and the
// last few kept for a report.
class SimLog final : public Log {
public:
    void write(std::string_view text) override {
        partial_.append(text);
        size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            fresh_.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
    }
    // Every line also goes to standard error (replaying a seed).
    bool trace = false;

    std::vector<std::string> take() {
        std::vector<std::string> lines = std::move(fresh_);
        fresh_.clear();
        for (const std::string& line : lines) {
            if (trace) std::fprintf(stderr, "%8.3f %s\n", static_cast<double>(tick) / 1000, line.c_str());
            recent_.push_back(line);
            if (recent_.size() > 60) recent_.pop_front();
        }
        return lines;
    }
    std::string recent() const {
        std::string text;
        for (const std::string& line : recent_) text += "  " + line + "\n";
        return text;
    }

    uint32_t tick = 0;  // when the lines were taken, for the trace

private:
    std::string partial_;
    std::vector<std::string> fresh_;
    std::deque<std::string> recent_;
};

// The server's modules, as the server process assembles them.
struct ServerSide {
    ServerSide(const std::string& folder, const Clock& clock, Log& log, DatagramSink& sink)
        : database(settings, clock, log, folder), core(sink, settings, database, clock, log) {}
    Settings settings;
    Database database;
    ServerCore core;
    CoreTransport& transport = core.transport;
    ZoneProtocol& zones = core.zones;
    CommandProcessor& commands = core.commands;
};

struct Account {
    std::string name;
    std::string password;
    int32_t machineID;
    bool op;
};

struct Player {
    enum class State { Out, Pending, In } state = State::Out;
    uint32_t id = 0;
    int account = -1;
    bool loggedInAsOperator = false;
};

struct Zone {
    int index = 0;
    int32_t scoreID = 0;
    int incarnation = 0;
    std::unique_ptr<zoneclient::ZoneLink> link;
    bool loginSent = false;
    uint32_t upSince = 0;
    uint32_t downUntil = 0;
    uint32_t lastHeartbeat = 0;
    int nextLogLine = 0;
    int nextChatLine = 0;
    // The number of the last chat line seen from each sending link.
    std::map<std::pair<int, int>, int> lastChatLine;  // (sending link, receiving player and slot)
    uint32_t nextPlayerID = 1;
    std::vector<Player> players;
};

class WholeNetwork final : public DatagramSink {
public:
    explicit WholeNetwork(const RunOptions& options)
        : options_(options),
          random_(options.seed),
          network_(options.seed * 2654435761u + 7, uniform(0, 0.2), uniform(0, 0.1), 250, kLinkSpan) {
        folder_.write("TALLYSV.INI", kIni);
        log_.trace = options.trace;
        zones_.resize(static_cast<size_t>(options.zones));
        for (int z = 0; z < options.zones; ++z) {
            Zone& zone = zones_[static_cast<size_t>(z)];
            zone.index = z;
            zone.scoreID = 100 + z;
            zone.players.resize(static_cast<size_t>(options.playersPerZone));
            zone.downUntil = clock_.tick() + static_cast<uint32_t>(z) * 500;
        }
        populate();
    }

    RunReport run() {
        startServer();
        for (int step = 0; step < options_.steps && report_.violation.empty(); ++step) {
            clock_.advance(kStep);
            report_.simulatedMs += kStep;
            this->step();
        }
        if (!report_.violation.empty()) report_.context = log_.recent();
        return report_;
    }

    // Server to zones.
    void send(const PeerAddress& to, std::span<const uint8_t> bytes) override {
        if (dying_) return;
        for (Zone& zone : zones_) {
            if (zone.link && peerOf(zone.index, zone.incarnation) == to) {
                network_.post(false, linkOf(zone), Bytes(bytes.begin(), bytes.end()), now());
                return;
            }
        }
    }

private:
    uint32_t now() const { return clock_.tick(); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
    double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random_); }
    int pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }
    uint32_t between(uint32_t low, uint32_t high) { return std::uniform_int_distribution<uint32_t>(low, high)(random_); }

    // Every second incarnation of a zone comes back on the port of the one
    // before, as a zone whose socket is bound to a fixed port does; the
    // others on a port of their own.
    static PeerAddress peerOf(int zone, int incarnation) {
        return {{10, 1, 0, static_cast<uint8_t>(zone + 1)}, static_cast<uint16_t>(20000 + (incarnation + 1) / 2)};
    }
    static int linkOf(const Zone& zone) { return zone.index * kLinkSpan + zone.incarnation; }

    // ---------------------------------------------------------- server

    // The accounts and operator records the network starts with, saved.
    void populate() {
        Settings settings;
        Database db(settings, clock_, log_, folder_.str());
        for (int i = 0; i < kOperatorAccounts + kPlayerAccounts; ++i) {
            bool op = i < kOperatorAccounts;
            Account account{(op ? "Op" : "Pl") + std::to_string(op ? i : i - kOperatorAccounts), "pw" + std::to_string(i),
                            kMachineIDs + i, op};
            UserRecord* user = db.createUser(account.name, account.password, {}, account.machineID, 0);
            if (op) db.createOperator(user, 0, 0, static_cast<uint8_t>(i), "oppw");
            accounts_.push_back(account);
        }
        if (Status saved = db.save(); !saved) report_.violation = "the first save failed: " + saved.reason();
        committed_ = readSet(folder_.path());
        log_.take();
    }

    void startServer() {
        server_ = std::make_unique<ServerSide>(folder_.str(), clock_, log_, *this);
        Database& db = server_->database;
        readConfiguration(server_->settings, db, log_);
        server_->settings.clusterToZones = options_.clusterToZones;
        db.load();
        server_->commands.services.saveDatabase = [this] { return save(); };
        server_->commands.services.lookupNetBlock = [](const IPv4Address&) { return std::optional<NetBlock>(); };
        lastSave_ = now();
        // What it loaded, saved again, is the last committed save.
        Files before = committed_;
        if (!save()) return;
        Files after = readSet(folder_.path());
        check(&before, &after);
    }

    // Kill -9: the process is gone with everything it had not saved.
    void killServer() {
        server_.reset();
        dying_ = false;
        serverBackAt_ = now() + between(0, 3000);
        ++report_.restarts;
    }

    // The orderly stop: every zone told goodbye, the final save.
    void stopServer() {
        server_->transport.stop();
        save();
        killServer();
    }

    // A save, cut short now and then at one of its steps as by a crash
    // there (the server then dies). Notes what a committed save put on
    // disk.
    bool save() {
        Database& db = server_->database;
        std::optional<std::pair<Database::SaveStep, DatFile>> cut;
        if (chance(kInterruptedSave)) {
            constexpr int files = static_cast<int>(kDatFileCount);
            int at = pick(2 * files + 1);
            if (at < files)
                cut = {{Database::SaveStep::Write, static_cast<DatFile>(at)}};
            else if (at == files)
                cut = {{Database::SaveStep::Commit, DatFile::Squad}};
            else
                cut = {{Database::SaveStep::Rename, static_cast<DatFile>(at - files - 1)}};
        }
        bool stopped = false;
        db.setSaveInterruption([&](Database::SaveStep step, DatFile file) {
            if (!cut || step != cut->first || (step != Database::SaveStep::Commit && file != cut->second)) return true;
            // Past the commit record the save is the one the folder will hold.
            if (step == Database::SaveStep::Rename) committed_ = readSet(folder_.path(), true);
            stopped = true;
            return false;
        });
        bool saved = db.save().isOk();
        db.setSaveInterruption(nullptr);
        if (stopped) {
            ++report_.interruptedSaves;
            dying_ = true;
            return false;
        }
        if (saved) {
            committed_ = readSet(folder_.path());
            ++report_.committedSaves;
        }
        return saved;
    }

    void check(const Files* committed = nullptr, const Files* restarted = nullptr) {
        if (!server_ || !report_.violation.empty()) return;
        ServerView view{server_->database, server_->transport, server_->zones, deliveryFaults_, committed, restarted};
        report_.violation = firstViolation(view);
    }

    // --------------------------------------------------------- one step

    void step() {
        if (!server_ && static_cast<int32_t>(now() - serverBackAt_) >= 0) startServer();
        if (dying_) killServer();
        network_.deliverDue(now(), [this](bool toServer, int link, const Bytes& bytes) { deliver(toServer, link, bytes); });
        if (dying_) killServer();
        if (server_) server_->core.maintain();
        for (Zone& zone : zones_) maintainZone(zone);
        if (server_ && now() - lastSave_ >= kSaveInterval) {
            lastSave_ = now();
            if (save()) server_->database.removeExpiredBans(clock_.now());
        }
        if (dying_) killServer();
        if (chance(0.4)) act();
        if (dying_) killServer();
        readConsole();
        check();
    }

    void deliver(bool toServer, int link, const Bytes& bytes) {
        int z = link / kLinkSpan;
        int incarnation = link % kLinkSpan;
        if (toServer) {
            if (server_ && !dying_) server_->core.receive(bytes, peerOf(z, incarnation));
            return;
        }
        Zone& zone = zones_[static_cast<size_t>(z)];
        if (!zone.link || zone.incarnation != incarnation) return;
        if (options_.clusterToZones && bytes.size() > static_cast<size_t>(CoreTransport::kZoneReadLimit)) {
            zone.link->receive(Bytes(bytes.begin(), bytes.begin() + CoreTransport::kZoneReadLimit), now());
            return;
        }
        zone.link->receive(bytes, now());
    }

    // Log lines "sim <zone> <incarnation> <n>" come numbered from 0 on each
    // link; on one that stays up every number shows once and in order.
    void readConsole() {
        log_.tick = now();
        for (const std::string& line : log_.take()) {
            if (line.find("Connection broken: Reliable packet lost") != std::string::npos) ++report_.brokenLinks;
            int scoreID, z, incarnation, n;
            if (std::sscanf(line.c_str(), "%d - sim %d %d %d", &scoreID, &z, &incarnation, &n) != 4) continue;
            int& expected = expectedLogLine_[{z, incarnation}];
            if (n != expected)
                deliveryFaults_.push_back("zone " + std::to_string(z) + " link " + std::to_string(incarnation) +
                                          ": log line " + std::to_string(n) + " arrived where " +
                                          std::to_string(expected) + " was due");
            expected = n + 1;
        }
    }

    // ------------------------------------------------------------ zones

    void bringUp(Zone& zone) {
        ++zone.incarnation;
        int link = linkOf(zone);
        zone.link = std::make_unique<zoneclient::ZoneLink>(
            [this, link](std::span<const uint8_t> d) { network_.post(true, link, Bytes(d.begin(), d.end()), now()); },
            0x5000 + zone.index * 977 + zone.incarnation);
        zone.loginSent = false;
        zone.upSince = now();
        zone.lastHeartbeat = now();
        zone.nextLogLine = 0;
        zone.nextChatLine = 0;
        zone.lastChatLine.clear();
        for (Player& player : zone.players) player = Player{};
        zone.link->connect();
    }

    // The zone process ends; it comes back after `downFor`.
    void takeDown(Zone& zone, uint32_t downFor, bool sayGoodbye) {
        if (sayGoodbye && zone.link->connected()) zone.link->disconnect();
        zone.link.reset();
        zone.downUntil = now() + downFor;
    }

    void maintainZone(Zone& zone) {
        if (!zone.link) {
            if (static_cast<int32_t>(now() - zone.downUntil) >= 0) bringUp(zone);
            return;
        }
        zoneclient::ZoneLink& link = *zone.link;
        if (!link.connected()) {
            if (now() - zone.upSince >= 6 * kReconnectEvery) return takeDown(zone, between(0, 2000), false);
            if ((now() - zone.upSince) % kReconnectEvery < kStep && now() != zone.upSince) link.connect();
            return;
        }
        if (link.disconnectedByServer()) return takeDown(zone, between(500, 3000), false);
        uint32_t heard = link.lastReceiveTick().value_or(zone.upSince);
        if (link.inFlight() > 0 && now() - heard >= kZoneGivesUp) return takeDown(zone, between(0, 2000), false);
        if (!zone.loginSent) {
            link.sendReliable(zoneclient::zoneLogin(1, zone.scoreID, "Zone " + std::to_string(zone.index), ""), now());
            zone.loginSent = true;
        }
        if (now() - zone.lastHeartbeat >= kHeartbeat) {
            zone.lastHeartbeat = now();
            std::string text = "sim " + std::to_string(zone.index) + " " + std::to_string(zone.incarnation) + " " +
                               std::to_string(zone.nextLogLine);
            if (link.sendReliable(zoneclient::logLine(text), now())) ++zone.nextLogLine;
        }
        link.maintain(now());
        while (zone.link && !zone.link->inbox.empty()) {
            Bytes message = std::move(zone.link->inbox.front());
            zone.link->inbox.pop_front();
            fromServer(zone, message);
        }
    }

    Player* playerWithID(Zone& zone, uint32_t id) {
        for (Player& player : zone.players)
            if (player.state != Player::State::Out && player.id == id) return &player;
        return nullptr;
    }

    void fromServer(Zone& zone, const Bytes& message) {
        if (auto reply = zoneclient::parsePlayerLoginReply(message)) {
            Player* player = playerWithID(zone, reply->playerId);
            if (!player || player->state != Player::State::Pending) return;
            bool accepted = reply->result == 0 || reply->result == 6;
            player->state = accepted ? Player::State::In : Player::State::Out;
            if (!accepted) return;
            ++report_.logins;
            // Most players take to a couple of channels at once.
            if (chance(0.6)) command(zone, *player, "?chat=" + channel() + "," + channel());
            if (reply->result == 6 && chance(0.5))
                sendFrom(zone, zoneclient::registrationForm(player->id, "Real " + reply->name, "a@example", 586));
            if (player->account < 0 && accounts_.size() < kMaxAccounts) {
                accounts_.push_back({reply->name, "newpw", kMachineIDs + 5000 + static_cast<int32_t>(accounts_.size()), false});
                player->account = static_cast<int>(accounts_.size()) - 1;
            }
        } else if (auto text = zoneclient::parsePlayerText(message)) {
            if (options_.trace) std::fprintf(stderr, "         zone %d, player %u <- %s\n", zone.index, text->playerId, text->text.c_str());
        } else if (auto chat = zoneclient::parseChatLine(message)) {
            // Chat lines reach a zone in the order the server took them
            // from each link, each once: every member of a channel in this
            // zone gets its own copy, so repeats count per player and slot.
            size_t at = chat->text.find("> line ");
            int z, incarnation, n;
            if (at == std::string::npos || std::sscanf(chat->text.c_str() + at, "> line %d %d %d", &z, &incarnation, &n) != 3) return;
            int& last = zone.lastChatLine[{z * kLinkSpan + incarnation, static_cast<int>(chat->playerId * 16 + chat->slot)}];
            if (last > 0 && n < last)
                deliveryFaults_.push_back("zone " + std::to_string(zone.index) + " got chat line " + std::to_string(n) +
                                          " of zone " + std::to_string(z) + " link " + std::to_string(incarnation) +
                                          " after line " + std::to_string(last));
            last = n + 1;
        } else if (auto kick = zoneclient::parseKick(message)) {
            if (Player* player = playerWithID(zone, kick->playerId)) leave(zone, *player, false);
        } else if (zoneclient::isShutdownOrder(message)) {
            takeDown(zone, between(3000, 15000), true);
        } else if (zoneclient::isRecycleOrder(message)) {
            takeDown(zone, between(200, 2000), true);
        }
    }

    void sendFrom(Zone& zone, const Bytes& message) {
        if (message.size() > static_cast<size_t>(CoreTransport::kMaxReliableMessage))
            zone.link->sendBigChunks(message, 400, true, now());
        else
            zone.link->sendReliable(message, now());
    }

    void leave(Zone& zone, Player& player, bool withScores) {
        std::optional<zoneclient::Scores> scores;
        if (withScores) {
            scores = zoneclient::Scores{};
            scores->wordStat1 = static_cast<uint16_t>(pick(500));
            scores->longStat1 = pick(100000);
        }
        sendFrom(zone, zoneclient::playerLeaving(player.id, static_cast<int16_t>(pick(3600)), scores));
        player = Player{};
    }

    // ---------------------------------------------------------- actions

    Zone* upZone() {
        std::vector<Zone*> up;
        for (Zone& zone : zones_)
            if (zone.link && zone.link->connected() && zone.loginSent) up.push_back(&zone);
        return up.empty() ? nullptr : up[static_cast<size_t>(pick(static_cast<int>(up.size())))];
    }
    Player* playerIn(Zone& zone, bool operatorAccount = false) {
        std::vector<Player*> in;
        for (Player& player : zone.players)
            if (player.state == Player::State::In &&
                (!operatorAccount || (player.account >= 0 && accounts_[static_cast<size_t>(player.account)].op)))
                in.push_back(&player);
        return in.empty() ? nullptr : in[static_cast<size_t>(pick(static_cast<int>(in.size())))];
    }
    const std::string& someName() { return accounts_[static_cast<size_t>(pick(static_cast<int>(accounts_.size())))].name; }
    std::string squad() { return "Sq" + std::to_string(pick(5)); }
    std::string channel() { return "ch" + std::to_string(pick(5)); }
    std::string scoreID() { return std::to_string(100 + pick(options_.zones + 1)); }
    std::string number(int high) { return std::to_string(1 + pick(high)); }

    void act() {
        int what = pick(100);
        if (what < 4) return serverFault(what);
        Zone* zone = upZone();
        if (!zone) return;
        if (what < 8) return zoneFault(*zone, what);
        if (what < 30) return login(*zone);
        Player* player = playerIn(*zone);
        if (!player) return login(*zone);
        if (what < 38) return leave(*zone, *player, chance(0.8));
        if (what < 50) {
            // Numbered per link, so that receivers can tell order and repeats.
            std::string line = "line " + std::to_string(zone->index) + " " + std::to_string(zone->incarnation) + " " +
                               std::to_string(zone->nextChatLine++);
            return sendFrom(*zone, zoneclient::chat(player->id, static_cast<char>('0' + pick(4)), line));
        }
        if (what < 53) return sendFrom(*zone, zoneclient::scoreReport(player->id, 1, 2, 3, 4));
        if (what < 55) return sendFrom(*zone, zoneclient::broadcast(static_cast<int32_t>(player->id), "hello all"));
        if (what < 75) return command(*zone, *player, playerCommand());
        Player* op = playerIn(*zone, true);
        if (!op) return command(*zone, *player, operatorCommand());
        if (!op->loggedInAsOperator || chance(0.05)) {
            op->loggedInAsOperator = true;
            return command(*zone, *op, chance(0.9) ? "?login oppw" : (chance(0.5) ? "?login sysop" : "?dop"));
        }
        command(*zone, *op, operatorCommand());
    }

    void serverFault(int what) {
        if (!server_) return;
        if (what == 0 && chance(0.05)) return killServer();
        if (what == 1 && chance(0.03)) return stopServer();
        if (what == 2 && chance(0.05)) command(upZone(), "?write");
    }

    void zoneFault(Zone& zone, int what) {
        if (what == 4 && chance(0.1)) {
            ++report_.zoneCrashes;
            return takeDown(zone, between(0, 5000), false);
        }
        if (what == 5 && chance(0.05)) return takeDown(zone, between(0, 5000), true);
        if (what == 6 && chance(0.08)) {
            ++report_.partitions;
            // Short ones heal within the loss limit; long ones outlast it.
            uint32_t length = chance(0.5) ? between(500, 10000) : between(31000, 60000);
            network_.partition(zone.index, now() + length);
        }
    }

    void login(Zone& zone) {
        Player* slot = nullptr;
        for (Player& player : zone.players)
            if (player.state == Player::State::Out) slot = &player;
        if (!slot) return;
        zoneclient::PlayerLogin login;
        slot->id = zone.nextPlayerID++;
        slot->state = Player::State::Pending;
        slot->loggedInAsOperator = false;
        int kind = pick(10);
        if (kind == 0) {
            // A new account.
            slot->account = -1;
            login.name = "New" + std::to_string(options_.seed % 1000) + "x" + std::to_string(newAccounts_++);
            login.password = "newpw";
            login.machineId = kMachineIDs + 5000 + static_cast<int32_t>(accounts_.size());
        } else {
            // Returning, now and then with a wrong password.
            slot->account = pick(static_cast<int>(accounts_.size()));
            const Account& account = accounts_[static_cast<size_t>(slot->account)];
            login.name = account.name;
            login.password = kind == 1 ? "wrong" : account.password;
            login.machineId = account.machineID;
        }
        login.playerId = slot->id;
        login.address = {172, 16, static_cast<uint8_t>(zone.index), static_cast<uint8_t>(1 + pick(200))};
        sendFrom(zone, zoneclient::playerLogin(login));
    }

    void command(Zone& zone, Player& player, const std::string& text) {
        ++report_.commands;
        sendFrom(zone, zoneclient::command(player.id, text));
    }
    void command(Zone* zone, const std::string& text) {
        if (!zone) return;
        if (Player* op = playerIn(*zone, true)) command(*zone, *op, text);
    }

    std::string playerCommand() {
        switch (pick(24)) {
            case 0: return "?squadcreate=" + squad() + ":sp";
            case 1: return "?squadjoin=" + squad() + ":sp";
            case 2: return "?squadjoin=" + squad();
            case 3: return "?squadleave";
            case 4: return "?squaddissolve";
            case 5: return "?squadkick " + someName();
            case 6: return "?squadgrant " + someName();
            case 7: return "?squadowner " + squad();
            case 8: return chance(0.5) ? "?squadlist" : "?squad " + someName();
            case 9: return "?squadname=" + squad();
            case 10: return "?squadpassword=sp";
            case 11: return "?chat=" + channel() + "," + channel();
            case 12: return "?addchat=" + channel();
            case 13: return chance(0.5) ? "?leavechat " + channel() : "?leavechat " + number(9);
            case 14: return "?chat";
            case 15: return "?seen " + someName();
            case 16: return chance(0.5) ? "?coin" : "?find " + someName();
            case 17: return chance(0.5) ? "?details=hello" : "?details " + someName();
            case 18: return chance(0.5) ? "?setname=Real" : "?setemail=a@example";
            case 19: return std::string("?notifychat ") + (chance(0.5) ? "yes" : "no");
            case 20: return std::string("?ghost ") + (chance(0.5) ? "yes" : "no");
            case 21: return "?help " + std::string(chance(0.5) ? "squadjoin" : "");
            case 22: return "?login oppw";
            default: return "?dop";
        }
    }

    std::string operatorCommand() {
        switch (pick(36)) {
            case 0: return "?write";
            case 1: return "?block " + someName();
            case 2: return "?changesquad=" + squad() + ":" + someName();
            case 3: return "?changename=" + someName() + ":Renamed" + number(50);
            case 4: return "?changepassword=" + someName() + ":pw";
            case 5: return chance(0.5) ? "?version" : "?read";
            case 6: return "?addzone " + scoreID() + ":zp";
            case 7: return "?removezone=" + scoreID();
            case 8: return "?listzone";
            case 9: return chance(0.3) ? "?closezone " + scoreID() : "?listzone";
            case 10: return "?recyclezone=" + scoreID();
            case 11: return chance(0.2) ? "?changezone=" : "?changezone=zp";
            case 12: return chance(0.5) ? "?groupid" : "?scoreid";
            case 13: return std::string("?notifyzone ") + (chance(0.5) ? "yes" : "no");
            case 14: return std::string("?extchat ") + (chance(0.5) ? "yes" : "no");
            case 15: return "?bantext you are out";
            case 16: return "?addop -" + std::to_string(pick(5)) + " " + someName() + ":oppw";
            case 17: return "?removeop " + number(8);
            case 18: return "?changeop " + number(8) + ":oppw";
            case 19: return "?info " + someName();
            case 20: return "?ban -d=" + number(3) + " " + someName();
            case 21: return "?ban -k " + someName();
            case 22: return "?ban -s -i 172.16.0.1-172.16.0.40 " + someName();
            case 23: return "?liftban " + number(6);
            case 24: return chance(0.5) ? "?listban" : "?listban -d";
            case 25: return "?commentban " + number(6) + ":why";
            case 26: return "?banfree " + someName();
            case 27: return "?liftbanfree " + number(4);
            case 28: return "?listbanfree";
            case 29: return "?alias " + someName();
            case 30: return "?listop";
            case 31: return "?adduser=Added" + number(30) + ":pw";
            case 32: return std::string("?notifyban ") + (chance(0.5) ? "yes" : "no");
            case 33: return chance(0.1) ? "?networkreset" : "?listop";
            case 34: return chance(0.1) ? "?groupreset" : "?listzone";
            default: return "?ban -" + std::to_string(pick(5)) + " -g=1 " + someName();
        }
    }

    RunOptions options_;
    std::mt19937 random_;
    FakeClock clock_{1000, 1000000000};
    SimLog log_;
    tallysv::testing::TempDir folder_{folderParent()};
    tallysv::testing::SimulatedNetwork network_;
    std::unique_ptr<ServerSide> server_;
    bool dying_ = false;
    uint32_t serverBackAt_ = 0;
    uint32_t lastSave_ = 0;
    Files committed_;
    std::vector<Zone> zones_;
    std::vector<Account> accounts_;
    int newAccounts_ = 0;
    std::map<std::pair<int, int>, int> expectedLogLine_;
    std::vector<std::string> deliveryFaults_;
    RunReport report_;
};

}  // namespace

RunReport runWholeNetwork(const RunOptions& options) { return WholeNetwork(options).run(); }

}  // namespace tallysv::sim
