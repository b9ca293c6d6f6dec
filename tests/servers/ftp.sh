#!/usr/bin/env bash
# A private Pure-FTPd on 127.0.0.1, for the FTP suites.
#
#   ftp.sh start STATE_DIR   starts an instance whose user database, log and FTP
#                            folder all live in STATE_DIR, waits until it answers
#                            a login, and writes STATE_DIR/env (PORT, ROOT, URL,
#                            USER, PASSWORD, FTPUID, FTPGID)
#   ftp.sh stop STATE_DIR    stops exactly that instance (its process group)
#
# Pure-FTPd rather than vsftpd: it runs from the command line alone (no PAM, no
# system user, nothing under /etc), its virtual user lives in a database file of
# our own, and it offers MLSD, so listings carry exact sizes and UTC times.
# The one user is chrooted into STATE_DIR/root, which is "/" on the server. Run
# as root, the server works as uid/gid 65534 (nobody) for that user, so the
# folder is handed to it; tests that put files there directly chown them to
# FTPUID:FTPGID.
set -euo pipefail

command=${1:-}
state=${2:-}
if [ -z "$command" ] || [ -z "$state" ]; then
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
fi

daemon=/usr/sbin/pure-ftpd

stop_instance() {
  local pidfile="$state/server.pid"
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    # The server was started as the leader of its own process group; the group
    # holds it and the per-login processes it forked, and nothing else.
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL -- "-$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile"
}

# A port nobody listens on, with the 100 ports above it (the passive range)
# free as well: start from a random high port and skip busy ones.
free_port() {
  local port=$((20000 + RANDOM % 30000))
  for _ in $(seq 1 200); do
    if ! ss -Htln "sport >= :$port and sport <= :$((port + 100))" 2>/dev/null | grep -q .; then
      echo "$port"
      return 0
    fi
    port=$((port + 101))
    if [ "$port" -gt 64000 ]; then
      port=20000
    fi
  done
  return 1
}

# Reads one whole reply (the last line is "NNN text") from fd 3 and prints its code.
read_reply() {
  local line
  while IFS= read -r -t 5 line <&3; do
    line=${line%$'\r'}
    if [[ "$line" =~ ^[0-9]{3}\  ]]; then
      echo "${line:0:3}"
      return 0
    fi
  done
  return 1
}

# True when the server greets and accepts the test login.
logs_in() {
  local port=$1 user=$2 password=$3 ok=1
  { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || return 1
  if [ "$(read_reply)" = 220 ]; then
    printf 'USER %s\r\n' "$user" >&3
    if [ "$(read_reply)" = 331 ]; then
      printf 'PASS %s\r\n' "$password" >&3
      [ "$(read_reply)" = 230 ] && ok=0
      printf 'QUIT\r\n' >&3
    fi
  fi
  exec 3<&- 3>&-
  return $ok
}

start_instance() {
  stop_instance
  rm -rf "$state"
  mkdir -p "$state/root"
  chmod 755 "$state"

  local uid gid
  if [ "$(id -u)" -eq 0 ]; then
    uid=65534
    gid=65534
  else
    uid=$(id -u)
    gid=$(id -g)
  fi
  chown "$uid:$gid" "$state/root"

  local user=tandemora
  local password
  password="pw-$RANDOM$RANDOM"
  # A SHA-512 crypt hash: the server checks it with crypt(3) and a login takes
  # no time (pure-pw's own default hash costs about a second per login).
  local hash
  hash=$(perl -e 'print crypt($ARGV[0], "\$6\$" . $ARGV[1] . "\$")' "$password" "s$RANDOM$RANDOM")
  echo "$user:$hash:$uid:$gid::$state/root/./::::::::::::" >"$state/passwd"
  pure-pw mkdb "$state/passwd.pdb" -f "$state/passwd" >/dev/null

  local port
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    # -S bind to loopback only; -4 IPv4; -E no anonymous logins; -A chroot;
    # -D show dot files; -H no name lookups; -p/-P passive ports on loopback;
    # -c/-C enough sessions for suites that run in parallel; -f none: no syslog.
    TZ=UTC setsid "$daemon" -S "127.0.0.1,$port" -4 -E -A -D -H \
      -l "puredb:$state/passwd.pdb" -p "$((port + 1)):$((port + 100))" -P 127.0.0.1 \
      -c 200 -C 200 -I 30 -f none -g "$state/daemon.pid" \
      </dev/null >>"$state/server.log" 2>&1 &
    echo $! >"$state/server.pid"
    for _ in $(seq 1 100); do
      if logs_in "$port" "$user" "$password"; then
        cat >"$state/env" <<EOF
PORT=$port
ROOT=$state/root
URL=ftp://127.0.0.1:$port
USER=$user
PASSWORD=$password
FTPUID=$uid
FTPGID=$gid
EOF
        return 0
      fi
      if ! kill -0 "$(cat "$state/server.pid")" 2>/dev/null; then
        break
      fi
      sleep 0.1
    done
    # The port was taken meanwhile, or the server did not come up: try again.
    stop_instance
  done
  echo "ftp.sh: pure-ftpd did not start; see $state/server.log" >&2
  cat "$state/server.log" >&2 2>/dev/null || true
  return 1
}

case "$command" in
start) start_instance ;;
stop) stop_instance ;;
*)
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
  ;;
esac
