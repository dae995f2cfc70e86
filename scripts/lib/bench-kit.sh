# Sourced by the measuring scripts: builds the measuring kit into a temporary folder
# (removed on exit) and gives the helpers every run needs.
#   KIT: the kit's folder (BENCH_KIT, default ../shared/bench beside the project)
#   WORK: the temporary folder; the kit's programs are under it (loadgen/, limit/)
KIT=${BENCH_KIT:-$(dirname "${BASH_SOURCE[0]}")/../../../shared/bench}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
make -s -C "$KIT" O="$WORK" >/dev/null || exit 1

# A free loopback port.
port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
# Waits up to 15 s for a listener on the port.
wait_port() { for _ in $(seq 150); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
