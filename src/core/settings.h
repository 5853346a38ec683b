#pragma once
#include <cstdint>
#include <string>

#include "core/password_scramble.h"

namespace tallysv {

// Everything read from TALLYSV.INI, with the defaults used when a file,
// section or key is missing. Passwords are kept scrambled only.
struct Settings {
    // False until the first reading; the first reading also makes the
    // built-in operator from the SysopPassword.
    bool passwordsRead = false;
    PasswordField sysopPassword{};
    PasswordField billingPassword{};
    int32_t kickOutDelay = 60000;        // ms; idle limit of a new host before its zone login
    int32_t packetLossLimit = 30000;     // ms; age limit of an unacknowledged reliable datagram
    int32_t zoneIdleProbe = 30000;       // ms of silence from a logged-in zone before it is probed; 0 = never
    bool resendBackoff = true;           // each resend of a datagram waits twice as long as the last, up to 1 s
    int32_t periodicSave = 1800000;      // ms between two periodic saves
    bool lowPriority = false;            // longer sleeps in the network threads
    bool allowNewUsers = false;          // accounts may be made at player login
    bool askNewUsers = true;             // ask the client before making one
    bool disableHelp = true;             // ?help is not a command
    bool encryptMode = true;             // sessions are encrypted
    bool clusterToZones = false;         // messages waiting for a zone go out packed in clusters
    // A datagram from an address without a session, other than a
    // connection request, is answered with the disconnect notice (a few a
    // second per address), so that zones of a server that moved notice it.
    bool resetUnknownPeers = false;
    // Run by the shell after each save whose files are all in place; empty
    // for none.
    std::string afterSaveCommand;
    int32_t maxQueueForLogin = 50;       // hosts may number this plus one
    int32_t accountReclaimDelay = 90 * 86400;  // seconds an account must be unused before reclaim
    uint16_t port = 900;                 // UDP port, read at start only
    std::string whoisServer = "whois.iana.org";  // "host" or "host:port" (43 by default)
    int32_t whoisTimeout = 5000;         // ms for a whole NetBlock lookup
    int32_t backupInterval = 86400000;   // ms; a dated generation of the files once the newest is this old; 0 = none
    int32_t backupKeep = 7;              // generations kept
    // MachineID 0 is a client without a machine (a chat client or a bot):
    // not locked out as randomizing, and the same machine as nothing.
    bool allowNoMachineID = false;
    // A player's Usage grows by the seconds the server saw the session
    // last, not by what the zone reports at leaving.
    bool usageFromSessions = false;
    // Passwords set from now on are stored as Argon2id hashes, and a
    // scrambled one is replaced by its hash when it verifies.
    bool passwordHashing = false;
    // Password workers, read at start only; 0 = one per core less one for
    // the network, at least one.
    int32_t passwordWorkers = 0;
    // Password attempts on one account from one zone within guessWindow
    // seconds before that zone's further logins to the account are refused
    // unchecked for guessWindow seconds, doubled at each lockout that
    // follows up to a day; 0 = no limit.
    int32_t guessLimit = 5;
    int32_t guessWindow = 60;
    // A keyed verifier of each password checked or set is kept in memory,
    // so that a returning player's login needs no hash.
    bool passwordVerifierCache = true;
    // The login flood table counts an address per zone, not across zones.
    bool floodPerZone = false;
    // Whois servers that a referral may name beside those on port 43 of a
    // public address: "host[:port]" separated by commas; empty = none.
    std::string whoisAllowedServers;
    std::string statusListen;            // "host:port" of the status pages, read at start only; empty = none
    // Host names (comma-separated) the status pages answer to besides the
    // one they listen on; read at start only.
    std::string statusHosts;
    std::string publicListen;            // "host:port" of the players' site, read at start only; empty = none
    // What the players' site calls the five score values: five names
    // separated by commas for the network, and "ScoreID:five names" entries
    // separated by semicolons for single score groups; read at start only.
    std::string scoreLabels = "Kills, Deaths, Flags, Kill points, Flag points";
    std::string scoreLabelsByZone;
    std::string controlSocket = "tallysv.sock";  // path of the control socket, read at start only; empty = none
    // Files the server makes are 0640 and folders 0750 instead of 0600 and
    // 0700, for a group that reads them (backups); read at start only.
    bool groupReadable = false;
    // The user a server started as root becomes once its port is bound;
    // empty = the data folder's owner. Read at start only.
    std::string runAsUser;
};

}  // namespace tallysv
