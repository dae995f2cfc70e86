#!/usr/bin/env bash
# The client examples against the real server. Two modes:
#   game APP BOT              two bots play a game against a server started here
#   installed APP BUILD SRC   installs the build into a temporary prefix, builds examples/
#                             from it with find_package(Tessil), then plays the game with those
set -euo pipefail
mode=$1 app=$2
work=$(mktemp -d)
server=""
cleanup() {
  [[ -n "$server" ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if [[ $mode == installed ]]; then
  build=$3 src=$4
  cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
  cmake -S "$src/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/configure.log"
  cmake --build "$work/examples" -j 2 >"$work/build.log" || { cat "$work/build.log"; exit 1; }
  bot=$work/examples/tessil-bot
else
  bot=$3
fi

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$app" --headless --start --port "$port" --instance "examples-$$" --log-dir "$work" --workers 2 \
  >"$work/server.out" 2>&1 &
server=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done

"$bot" 127.0.0.1 "$port" maker --make >"$work/maker.out" 2>&1 & maker=$!
"$bot" 127.0.0.1 "$port" joiner --join >"$work/joiner.out" 2>&1 & joiner=$!
rc=0
wait "$maker" || rc=1
wait "$joiner" || rc=1
cat "$work/maker.out" "$work/joiner.out"
grep -q '^maker: game over$' "$work/maker.out"
grep -q '^joiner: game over$' "$work/joiner.out"
grep -q 'ENDGAME' "$work/maker.out"
exit $rc
