#!/usr/bin/env bash
# Drives the qor program as a user would: the local service with a state file in
# the background, login, directory changes, pings, a game host and a client
# exchanging lines, JSON output read back, a restart that keeps the state, a
# kill -9 in the middle of writes, and the exit codes of failures.
#   qor_cli_test.sh QOR_BINARY
# Every wait is bounded; every server listens on 127.0.0.1 ephemeral ports.
set -u
QOR=$1
WORK=$(mktemp -d)
PIDS=()
FAILS=0

cleanup() {
    for pid in "${PIDS[@]}"; do kill -9 "$pid" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
check() { # description, expected exit code, actual exit code
    if [ "$2" != "$3" ]; then fail "$1: exit $3, expected $2"; else echo "ok: $1"; fi
}
q() { timeout 30 "$QOR" "$@"; }
json() { # file-or-text key: the value of key in the first JSON object
    python3 -c 'import json,sys; print(json.loads(sys.argv[1].splitlines()[0])[sys.argv[2]])' "$1" "$2"
}

# Starts `qor local --json` with the given state file; sets DIR AUTH HOST PING PINGTCP LOCAL_PID.
start_local() {
    local out=$WORK/local.$RANDOM
    "$QOR" local --state "$1" --port-base 0 --key-dir "$WORK" --json >"$out" 2>"$out.err" &
    LOCAL_PID=$!
    PIDS+=("$LOCAL_PID")
    for _ in $(seq 100); do
        [ -s "$out" ] && break
        sleep 0.1
    done
    local line
    line=$(head -n1 "$out")
    if [ -z "$line" ]; then
        fail "qor local did not start: $(cat "$out.err")"
        exit 1
    fi
    DIR=$(json "$line" dir); AUTH=$(json "$line" auth); HOST=$(json "$line" host)
    PING=$(json "$line" pingUdp); PINGTCP=$(json "$line" pingTcp)
    [ "$(json "$line" status)" = WS_Success ] || fail "qor local status: $line"
    [ -f "$(json "$line" keyFile)" ] || fail "no verifier key file written"
}

stop_local() { # pid: Ctrl-C, then wait (bounded)
    kill -INT "$1"
    for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    fail "qor local did not stop on SIGINT"
    kill -9 "$1"
}

STATE=$WORK/state.db
start_local "$STATE"

# Log in, right and wrong.
out=$(q login --auth-server "$AUTH" --password secret --json); check "login" 0 $?
[ "$(json "$out" user)" = player ] || fail "login names $(json "$out" user)"
err=$(q login --auth-server "$AUTH" --password wrong 2>&1 >/dev/null); check "wrong password" 4 $?
[ "$(echo "$err" | wc -l)" = 1 ] && echo "$err" | grep -q WS_AuthServ_BadPassword || fail "wrong password message: $err"
echo secret | q login --auth-server "$AUTH" >/dev/null; check "login with the password on standard input" 0 $?

# Accounts edited while the service runs.
q local account add alice --password pw --community qor --state "$STATE" >/dev/null; check "account add" 0 $?
ok=1
for _ in $(seq 50); do q login --auth-server "$AUTH" --user alice --password pw >/dev/null 2>&1 && ok=0 && break; sleep 0.1; done
check "login of an account added while running" 0 $ok

# The directory.
q dir add /games/chess --dir "$DIR" >/dev/null; check "dir add directory" 0 $?
q dir add /games/chess/Lobby 127.0.0.1:4000 --display "Chess lobby" --data map=classic --dir "$DIR" >/dev/null
check "dir add service" 0 $?
err=$(q dir add /games/chess --dir "$DIR" 2>&1 >/dev/null); check "dir add existing" 6 $?
echo "$err" | grep -q WS_DirServ_DirExists || fail "exists message: $err"
q dir set-data /games/chess/Lobby 127.0.0.1:4000 players=3/16 --dir "$DIR" >/dev/null; check "dir set-data" 0 $?
q dir add /tmp/gone --dir "$DIR" >/dev/null && q dir rm /tmp/gone --dir "$DIR" >/dev/null; check "dir rm" 0 $?
err=$(q dir rm /tmp/gone --dir "$DIR" 2>&1 >/dev/null); check "dir rm missing" 5 $?
echo "$err" | grep -q WS_DirServ_DirNotFound || fail "not-found message: $err"
tree=$(q dir ls --dir "$DIR"); check "dir ls" 0 $?
echo "$tree" | grep -q 'Lobby  127.0.0.1:4000  "Chess lobby"  map=classic  players=3/16' || fail "tree: $tree"
out=$(q dir find Lobby --dir "$DIR" --json); check "dir find --json" 0 $?
python3 -c 'import json,sys; r=json.loads(sys.argv[1])["result"]; assert len(r)==1 and r[0]["path"]=="/games/chess" and r[0]["address"]=="127.0.0.1:4000", r' "$out" ||
    fail "find result: $out"

# Pings: UDP to many, one silent; TCP.
silent_port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
out=$(q ping "$PING" "127.0.0.1:$silent_port" --timeout 200 --tries 2 --json); check "ping with a silent server" 3 $?
python3 -c 'import json,sys; s=json.loads(sys.argv[1])["servers"]; assert s[0]["status"]=="WS_Success" and s[1]["status"]=="WS_TimedOut", s' "$out" ||
    fail "ping table: $out"
q ping --tcp "$PINGTCP" >/dev/null; check "ping over TCP" 0 $?

# The game host of qor local, and a qor host of its own, each talking to qor connect.
out=$(q connect --host "$HOST" --auth-server "$AUTH" --password secret --line hello --line "move e2e4" --json)
check "connect to the local service's host" 0 $?
[ "$(echo "$out" | grep -c '"received":"')" = 2 ] && echo "$out" | grep -q '"received":"move e2e4"' || fail "echoes: $out"
"$QOR" host --port 0 --json >"$WORK/host.out" 2>&1 &
HOST_PID=$!; PIDS+=("$HOST_PID")
for _ in $(seq 100); do [ -s "$WORK/host.out" ] && break; sleep 0.1; done
own=$(json "$(head -n1 "$WORK/host.out")" host)
out=$(printf 'one\ntwo\nthree\n' | q connect --host "$own" --auth-server "$AUTH" --password secret); check "connect, lines from standard input" 0 $?
[ "$(echo "$out" | grep -c '^< ')" = 3 ] || fail "host conversation: $out"
grep -q '"status":"WS_Success".*"name":"player"' "$WORK/host.out" || fail "host report: $(cat "$WORK/host.out")"
kill -INT "$HOST_PID"

# Unreachable servers and bad arguments.
closed_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
err=$(q dir ls --dir "127.0.0.1:$closed_port" --timeout 2000 2>&1 >/dev/null); check "unreachable directory server" 3 $?
[ "$(echo "$err" | wc -l)" = 1 ] || fail "unreachable message: $err"
q login --auth-server "127.0.0.1:$closed_port" --password secret --timeout 2000 2>/dev/null; check "unreachable authentication server" 3 $?
for args in "dir" "dir ls --bogus" "dir add games" "ping --tries x" "login extra" "local --port-base 70000" "nothing"; do
    # shellcheck disable=SC2086
    err=$(q $args 2>&1 >/dev/null); check "bad arguments: $args" 2 $?
    [ "$(echo "$err" | wc -l)" = 1 ] || fail "bad-argument message is not one line: $err"
done
for cmd in local dir login ping host connect; do q $cmd --help >/dev/null; check "$cmd --help" 0 $?; done

# Restart with the same state file: accounts and tree are still there.
stop_local "$LOCAL_PID"
start_local "$STATE"
q dir ls /games/chess --dir "$DIR" | grep -q "players=3/16"; check "tree after a restart" 0 $?
q login --auth-server "$AUTH" --user alice --password pw >/dev/null; check "account after a restart" 0 $?

# kill -9 in the middle of writes: every acknowledged change survives and the database opens.
acked=$WORK/acked
: >"$acked"
(for i in $(seq 1 400); do
    timeout 10 "$QOR" dir add "/load/d$i" --dir "$DIR" --timeout 2000 >/dev/null 2>&1 || break
    echo "d$i" >>"$acked"
done) &
WRITER=$!; PIDS+=("$WRITER")
for _ in $(seq 200); do [ "$(wc -l <"$acked")" -ge 20 ] && break; sleep 0.05; done
kill -9 "$LOCAL_PID"
wait "$WRITER" 2>/dev/null
n=$(wc -l <"$acked")
[ "$n" -ge 1 ] || fail "no write was acknowledged before the kill"
q local account ls --state "$STATE" >/dev/null; check "database opens after kill -9" 0 $?
start_local "$STATE"
listing=$(q dir ls /load --depth 1 --dir "$DIR")
missing=0
while read -r name; do echo "$listing" | grep -q "^  $name/\$" || missing=$((missing + 1)); done <"$acked"
check "acknowledged writes kept after kill -9 ($n acknowledged)" 0 "$missing"
stop_local "$LOCAL_PID"

# An unreadable state file is a local failure.
q local --state "$WORK/no/such/dir/state.db" --port-base 0 2>/dev/null; check "state file that cannot be opened" 7 $?

[ "$FAILS" = 0 ] && echo "all passed" && exit 0
echo "$FAILS failure(s)"
exit 1
