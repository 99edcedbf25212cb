# Shared by the updater's end-to-end tests (sourced, not run): a mirror server on 127.0.0.1,
# a key pair, and the settings file that points kestry at the mirror. Needs $work and $bin.

# No test reads or writes the real home, /var/lib/nerlo or /etc/nerlo: every root and
# settings folder lies under $work, and kestry is always given --config and --keys.
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" HOME="$work/home"
export NERLO_SET_ROOTS="$work/data/nerlo"
# The mirror is reached directly even where a proxy is set for the machine.
export no_proxy='*' NO_PROXY='*'
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$HOME"

server_pid=""
# start_server MIRROR STATE: serves MIRROR; sets $url and $ca.
start_server() {
  mkdir -p "$1" "$2"
  python3 "$here/../../tools/serve-mirror" "$1" --state "$2" >"$2/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 600); do
    [ -s "$2/port" ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$2/server.log" >&2; echo "FAIL: no server" >&2; exit 1; }
    sleep 0.05
  done
  [ -s "$2/port" ] || { echo "FAIL: the mirror server gave no port" >&2; exit 1; }
  url="https://127.0.0.1:$(cat "$2/port")/"
  ca="$2/ca.pem"
}

stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=""
}

# write_config FILE URL [CAFILE]
write_config() {
  mkdir -p "$(dirname "$1")"
  {
    echo "[Update]"
    echo "Url=$2"
    if [ -n "${3:-}" ]; then echo "CaFile=$3"; fi
  } >"$1"
}
