#!/usr/bin/env bash
# Runs every example program against the local service of `qor local` (and a
# `qor host` that pushes), on 127.0.0.1 ephemeral ports; each must exit 0.
#   examples_test.sh QOR_BINARY EXAMPLES_DIR
set -u
QOR=$1
EX=$2
WORK=$(mktemp -d)
PIDS=()
FAILS=0
cleanup() {
    for pid in "${PIDS[@]}"; do kill -9 "$pid" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
run() { # name, args...: runs an example (bounded), shows its output, checks exit 0
    local name=$1
    shift
    if timeout 60 "$EX/$name" "$@" >"$WORK/$name.out" 2>&1; then echo "ok: $name"; else fail "$name: exit $?"; fi
    sed 's/^/    /' "$WORK/$name.out"
}
wait_line() { # file: waits (bounded) until it holds a line
    for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
    return 1
}
field() { python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).readline())[sys.argv[2]])' "$1" "$2"; }

"$QOR" local --port-base 0 --key-dir "$WORK" --json >"$WORK/local" 2>&1 &
PIDS+=($!)
wait_line "$WORK/local" || { echo "qor local did not start"; exit 1; }
DIR=$(field "$WORK/local" dir); AUTH=$(field "$WORK/local" auth); PING=$(field "$WORK/local" pingUdp)

run dir_listing "$DIR"
grep -q "Lobby  127.0.0.1:4000" "$WORK/dir_listing.out" || fail "dir_listing printed no Lobby"
run login_renewal "$AUTH"
run multi_ping "$PING" "$PING"

# game_host serves one client: auth_client.
timeout 60 "$EX/game_host" "$AUTH" 1 >"$WORK/game_host" 2>&1 &
HOST_PID=$!
PIDS+=("$HOST_PID")
wait_line "$WORK/game_host" || fail "game_host did not start"
run auth_client "127.0.0.1:$(awk '/listening on/ {print $3; exit}' "$WORK/game_host")" "$AUTH"
if wait "$HOST_PID"; then echo "ok: game_host"; else fail "game_host: exit $?"; fi
sed 's/^/    /' "$WORK/game_host"

# push_client against a host that pushes every second.
"$QOR" host --port 0 --push news --push-every 1 --json >"$WORK/pusher" 2>&1 &
PIDS+=($!)
wait_line "$WORK/pusher" || fail "qor host did not start"
run push_client "$(field "$WORK/pusher" host)" "$AUTH" 2
[ "$(grep -c 'pushed: "news"' "$WORK/push_client.out")" -ge 2 ] || fail "push_client saw no pushes"

[ "$FAILS" = 0 ] && echo "all examples passed" && exit 0
exit 1
