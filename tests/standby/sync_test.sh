#!/bin/sh
# The standby's copy of the save set: whatever happens to a copy, the
# standby's `current` names one whole committed set, never parts of two.
#
#   sync_test.sh PATH_TO_tallysv-standby-sync
#
# A stand-in for the server saves sets the way the server does (new files
# beside the old, Save.commit, renames, Save.commit removed), each file of
# generation N holding "N" on its first line, so a mixed set shows.
set -eu
sync=$(readlink -f "$1")
command -v rsync > /dev/null || { echo "SKIPPED: rsync is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=$work/data
standby=$work/standby
mkdir -p "$data"
files="User.dat User2.dat Score.dat Squad.dat Ban.dat Banfree.dat Op.dat Zone.dat"
failures=0
passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; passed=$((passed + 1)); }

# One save of generation $1, files of $2 KiB each (written by the shell
# itself: a save here should take milliseconds, as the server's renames do).
save_set() {
    pad=$(head -c $(($2 * 1024)) /dev/zero | tr '\0' x)
    for f in $files; do printf '%s\n%s\n' "$1" "$pad" > "$data/$f.new"; done
    echo commit > "$data/Save.commit"
    for f in $files; do mv -f "$data/$f.new" "$data/$f"; done
    rm -f "$data/Save.commit"
}

# The generation `current` holds, or "mixed", "partial" or "none".
current_generation() {
    [ -e "$standby/current" ] || { echo none; return; }
    set=$(readlink -f "$standby/current")
    first=""
    for f in $files; do
        [ -e "$set/$f" ] || { echo partial; return; }
        g=$(head -n 1 "$set/$f")
        [ -n "$first" ] || first=$g
        [ "$g" = "$first" ] || { echo mixed; return; }
        [ "$(wc -c < "$set/$f")" -eq "$(wc -c < "$data/$f")" ] || [ "$g" != "$(head -n 1 "$data/$f")" ] ||
            { echo partial; return; }
    done
    echo "$first"
}

# 1. A copy hands the set over whole.
save_set 1 64
(cd "$data" && "$sync" "$standby")
[ "$(current_generation)" = 1 ] && pass "a copy hands the set over" || fail "after one copy: $(current_generation)"
[ ! -e "$data/.standby-snapshot" ] && pass "no snapshot is left behind" || fail "the snapshot was left"

# 2. A copy cut off halfway leaves the last set current, and the next copy
# clears its remains and completes.
save_set 2 4096
(cd "$data" && exec "$sync" -o "--bwlimit=2000" "$standby") &
copier=$!
# Wait until the copy has begun writing into its fresh folder.
for _ in $(seq 1 200); do
    ls "$standby"/sets/incoming.*/.??* "$standby"/sets/incoming.*/*.dat > /dev/null 2>&1 && break
    sleep 0.05
done
pkill -KILL -P $copier rsync 2>/dev/null || true
kill -KILL $copier 2>/dev/null || true
wait $copier 2>/dev/null || true
for p in $(pgrep -f "rsync -rt --timeout=60" || true); do
    # Only the copies this test started, by their folder.
    grep -q "$work" /proc/$p/cmdline 2>/dev/null && kill -KILL $p 2>/dev/null || true
done
if ls -d "$standby"/sets/incoming.* > /dev/null 2>&1; then pass "the cut copy left an incomplete folder"; else fail "the copy was not cut off while copying"; fi
[ "$(current_generation)" = 1 ] && pass "a cut copy leaves the last set current" || fail "after a cut copy: $(current_generation)"
(cd "$data" && "$sync" "$standby")
[ "$(current_generation)" = 2 ] && pass "the next copy completes" || fail "after the next copy: $(current_generation)"
if ls -d "$standby"/sets/incoming.* > /dev/null 2>&1; then fail "the cut copy's remains stayed"; else pass "the cut copy's remains are cleared"; fi

# 3. Saves commit while copies run: every copy makes a whole set current,
# and a reader never sees a mixed one.
save_set 3 16
(
    g=4
    # As the server at its shortest period: a save about every 750 ms;
    # here faster, so that copies and renames overlap often.
    while [ ! -e "$work/stop" ]; do save_set $g 16; g=$((g + 1)); sleep 0.5; done
) &
saver=$!
(
    while [ ! -e "$work/stop" ]; do
        g=$(current_generation)
        case $g in mixed | partial) echo "$g" >> "$work/seen-bad" ;; esac
        sleep 0.05
    done
) &
reader=$!
copies=0
bad_copies=0
while [ $copies -lt 5 ]; do
    (cd "$data" && "$sync" "$standby") || bad_copies=$((bad_copies + 1))
    case $(current_generation) in mixed | partial | none) bad_copies=$((bad_copies + 1)) ;; esac
    copies=$((copies + 1))
done
touch "$work/stop"
wait $saver $reader
last_saved=$(head -n 1 "$data/User.dat")
[ $bad_copies -eq 0 ] && pass "5 copies during saves each made a whole set current" ||
    fail "$bad_copies of 5 copies during saves failed or left a mixed set"
[ ! -e "$work/seen-bad" ] && pass "a reader never saw a mixed set" || fail "a reader saw: $(sort -u "$work/seen-bad" | tr '\n' ' ')"
got=$(current_generation)
[ "$got" -gt 3 ] && [ "$got" -le "$last_saved" ] && pass "the standby holds a set saved during the copies ($got of $last_saved)" ||
    fail "the standby holds generation $got (saves reached $last_saved)"
sets=$(ls "$standby/sets" | wc -l)
[ "$sets" -le 2 ] && pass "at most two sets are kept" || fail "$sets sets are kept"

echo "$passed passed, $failures failed"
[ $failures -eq 0 ] || exit 1
exit 0
