#!/usr/bin/env bash
# Counts the user-space instructions the server spends per player login:
# runs loadgen_login against the server started under callgrind and divides
# the server's instructions by the logins it handled. See
# counting_instructions.md.
#
# usage: bench/count_instructions.sh [BUILD_DIR] [SECONDS] [ACCOUNTS]
#        (defaults: build, 5, 1000)
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-5}
accounts=${3:-1000}
out=$(mktemp -d /tmp/count_instructions.XXXXXX)

# The load generator starts the server itself; it is given this wrapper in
# place of the binary, which runs the real one under callgrind.
cat > "$out/server.sh" <<EOF
#!/usr/bin/env bash
exec valgrind --tool=callgrind --log-file="$out/valgrind.log" \
    --callgrind-out-file="$out/callgrind.out" "$build/tallysv"
EOF
chmod +x "$out/server.sh"

"$build/bench/loadgen_login" --benchmarks=logins --accounts "$accounts" --seconds "$seconds" \
    --server-bin "$out/server.sh" |
    grep -E '^ +logins,' || true

callgrind_annotate --inclusive=yes --tree=calling "$out/callgrind.out" > "$out/annotated.txt" 2>/dev/null
# Each figure is looked up on its own: a pattern that finds nothing (a
# renamed function, an inlined one) reports that figure as missing instead
# of ending the script before the others are printed.
total=$(sed -nE 's/^ *([0-9,]+) .*PROGRAM TOTALS.*/\1/p' "$out/annotated.txt" | tr -d , || true)
# Every login the server handled (docking, warm-up and quiet-down included),
# from the number of calls of the login handler.
logins=$( (grep -E '> .*ZoneProtocol::onPlayerLogin' "$out/annotated.txt" || true) | head -n 1 |
    sed -E 's/.*\(([0-9,]+)x\).*/\1/' | tr -d ,)
# The receive thread's loop, whatever its parameters.
receive=$( (grep -E '^ *[0-9,]+ .*\* .*UdpServer::receiveLoop\(' "$out/annotated.txt" || true) | head -n 1 |
    sed -E 's/^ *([0-9,]+) .*/\1/' | tr -d ,)
echo "instructions of the server: ${total:-not found}, logins handled: ${logins:-not found}"
if [ -n "$total" ] && [ -n "$logins" ] && [ "$logins" -gt 0 ]; then
    echo "per login, whole process:   $((total / logins))"
    if [ -n "$receive" ]; then
        echo "per login, receive thread:  $((receive / logins))"
    else
        echo "per login, receive thread:  not found (no UdpServer::receiveLoop in $out/annotated.txt)"
    fi
fi
echo "callgrind output: $out/callgrind.out"
