#!/usr/bin/env bash
# Private FTP servers on 127.0.0.1, for the FTP suites.
#
#   ftp.sh start STATE_DIR   starts the servers, each with its user database,
#                            configuration and logs in STATE_DIR and its FTP
#                            folder below /tmp (see datadir.sh), waits until
#                            each answers a login, and writes STATE_DIR/env
#   ftp.sh stop STATE_DIR    stops exactly those servers (their process groups)
#
# Pure-FTPd, the main one (env: PORT, ROOT, URL, USER, PASSWORD, FTPUID,
# FTPGID): it runs from the command line alone (no PAM, no system user,
# nothing under /etc), its virtual user lives in a database file of our own,
# and it offers MLSD, so listings carry exact sizes and UTC times. The one user
# is chrooted into ROOT, which is "/" on the server. Run as root, the server
# works as uid/gid 65534 (nobody) for that user, so the folder is handed to
# it; tests that put files there directly chown them to FTPUID:FTPGID.
#
# vsftpd, a server that lists with LIST only (the same keys with "VSFTPD_" in
# front), when scripts/setup unpacked it and the script runs as root. It knows
# no MLSD: its listings show times to the minute, or only the day for files
# older than half a year, and leave out names starting with "." unless asked
# with "LIST -a". Its login is the anonymous one (any password), which needs
# no PAM service and no account of our own: the server works as the system
# user "daemon" (whose home folder exists everywhere, as vsftpd enters it
# first), chrooted into ROOT. ROOT itself belongs to root (vsftpd refuses a
# root its user could write to); the folders tests make in it are handed to
# "daemon".
#
# A second vsftpd (keys with "VSFTPDTZ_" in front) lists in a zone three hours
# ahead of UTC (use_localtime=YES, TZ set for its process): its LIST and MDTM
# both show that zone's wall clock. A third (keys with "VSFTPDNOMDTM_" in
# front) lists in that zone too but refuses MDTM: a server that tells no exact
# time at all. Each vsftpd keeps its state in a folder of its own below
# STATE_DIR.
set -euo pipefail

command=${1:-}
state=${2:-}
if [ -z "$command" ] || [ -z "$state" ]; then
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
fi
# The data folder is named in the configuration files: absolute paths only.
state=$(realpath -m -- "$state")
if [ "$state" = "/" ]; then
  echo "ftp.sh: refusing STATE_DIR /" >&2
  exit 2
fi

# shellcheck source=datadir.sh
source "$(dirname "$0")/datadir.sh"

pure_ftpd=/usr/sbin/pure-ftpd
vsftpd=/usr/local/lib/tandemora-tests/vsftpd/usr/sbin/vsftpd

# Stops the server whose pid is in the file. Each server was started as the
# leader of its own process group; the group holds it and the per-login
# processes it forked, and nothing else.
stop_pid() {
  local pidfile=$1 pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL -- "-$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile"
}

stop_instance() {
  stop_pid "$state/server.pid"
  stop_pid "$state/vsftpd.pid" # where an older run kept it
  stop_pid "$state/vsftpd/vsftpd.pid"
  stop_pid "$state/vsftpd-tz/vsftpd.pid"
  stop_pid "$state/vsftpd-nomdtm/vsftpd.pid"
  remove_data_dir "$state"
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

start_pure() {
  local root=$1
  mkdir -p "$root"
  local uid gid
  if [ "$(id -u)" -eq 0 ]; then
    uid=65534
    gid=65534
  else
    uid=$(id -u)
    gid=$(id -g)
  fi
  chown "$uid:$gid" "$root"

  local user=tandemora
  local password
  password="pw-$RANDOM$RANDOM"
  # A SHA-512 crypt hash: the server checks it with crypt(3) and a login takes
  # no time (pure-pw's own default hash costs about a second per login).
  local hash
  hash=$(perl -e 'print crypt($ARGV[0], "\$6\$" . $ARGV[1] . "\$")' "$password" "s$RANDOM$RANDOM")
  echo "$user:$hash:$uid:$gid::$root/./::::::::::::" >"$state/passwd"
  pure-pw mkdb "$state/passwd.pdb" -f "$state/passwd" >/dev/null

  local port
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    # -S bind to loopback only; -4 IPv4; -E no anonymous logins; -A chroot;
    # -D show dot files; -H no name lookups; -p/-P passive ports on loopback;
    # -c/-C enough sessions for suites that run in parallel; -f none: no syslog.
    local args=(-S "127.0.0.1,$port" -4 -E -A -D -H
      -l "puredb:$state/passwd.pdb" -p "$((port + 1)):$((port + 100))" -P 127.0.0.1
      -c 200 -C 200 -I 30 -f none -g "$state/daemon.pid")
    TZ=UTC setsid "$pure_ftpd" "${args[@]}" </dev/null >>"$state/server.log" 2>&1 &
    echo $! >"$state/server.pid"
    # The command line, one word a line, for tests that restart the server on
    # its port (it shows another in its process title).
    printf '%s\n' "$pure_ftpd" "${args[@]}" >"$state/server.args"
    for _ in $(seq 1 100); do
      if logs_in "$port" "$user" "$password"; then
        cat >>"$state/env" <<EOF
PORT=$port
ROOT=$root
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
    stop_pid "$state/server.pid"
  done
  echo "ftp.sh: pure-ftpd did not start; see $state/server.log" >&2
  cat "$state/server.log" >&2 2>/dev/null || true
  return 1
}

write_vsftpd_config() {
  local port=$1 root=$2 dir=$3 localtime=$4 commands=$5
  cat >"$dir/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$((port + 1))
pasv_max_port=$((port + 100))
port_enable=NO
connect_from_port_20=NO
local_enable=NO
anonymous_enable=YES
ftp_username=daemon
anon_root=$root
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_world_readable_only=NO
anon_umask=022
secure_chroot_dir=$dir/empty
max_clients=200
max_per_ip=200
dirmessage_enable=NO
xferlog_enable=NO
syslog_enable=NO
use_localtime=$localtime
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
EOF
  if [ -n "$commands" ]; then
    echo "cmds_allowed=$commands" >>"$dir/vsftpd.conf"
  fi
  # vsftpd reads only a configuration file that its own user owns.
  chmod 600 "$dir/vsftpd.conf"
}

# start_vsftpd ROOT KEY-PREFIX SUBFOLDER USE_LOCALTIME TZ [COMMANDS-ALLOWED]
start_vsftpd() {
  local root=$1 prefix=$2 dir="$state/$3" localtime=$4 zone=$5 commands=${6:-}
  if [ ! -x "$vsftpd" ] || [ "$(id -u)" -ne 0 ] || ! id daemon >/dev/null 2>&1; then
    return 0
  fi
  mkdir -p "$root" "$dir/empty"
  chmod 755 "$root" "$dir" "$dir/empty"
  local uid gid
  uid=$(id -u daemon)
  gid=$(id -g daemon)
  local taken
  taken=$(sed -n 's/^[A-Z_]*PORT=//p' "$state/env")
  local port clash other
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    port=$(free_port)
    # Apart from the other servers' ports and passive ranges.
    clash=0
    for other in $taken; do
      if [ $((port - other)) -le 100 ] && [ $((other - port)) -le 100 ]; then
        clash=1
      fi
    done
    [ "$clash" -eq 0 ] || continue
    write_vsftpd_config "$port" "$root" "$dir" "$localtime" "$commands"
    TZ=$zone setsid "$vsftpd" "$dir/vsftpd.conf" </dev/null >>"$dir/vsftpd.log" 2>&1 &
    echo $! >"$dir/vsftpd.pid"
    for _ in $(seq 1 100); do
      if logs_in "$port" anonymous tandemora; then
        cat >>"$state/env" <<EOF
${prefix}PORT=$port
${prefix}ROOT=$root
${prefix}URL=ftp://127.0.0.1:$port
${prefix}USER=anonymous
${prefix}PASSWORD=tandemora
${prefix}FTPUID=$uid
${prefix}FTPGID=$gid
EOF
        return 0
      fi
      if ! kill -0 "$(cat "$dir/vsftpd.pid")" 2>/dev/null; then
        break
      fi
      sleep 0.1
    done
    stop_pid "$dir/vsftpd.pid"
  done
  echo "ftp.sh: vsftpd did not start; see $dir/vsftpd.log" >&2
  cat "$dir/vsftpd.log" >&2 2>/dev/null || true
  return 1
}

start_instance() {
  stop_instance
  rm -rf "$state"
  mkdir -p "$state"
  chmod 755 "$state"
  local data
  data=$(make_data_dir "$state" ftp)
  start_pure "$data/pure"
  start_vsftpd "$data/vsftpd" VSFTPD_ vsftpd NO UTC
  # A POSIX zone string: nothing to read below the server's chroot.
  start_vsftpd "$data/vsftpd-tz" VSFTPDTZ_ vsftpd-tz YES TST-3
  start_vsftpd "$data/vsftpd-nomdtm" VSFTPDNOMDTM_ vsftpd-nomdtm YES TST-3 \
    USER,PASS,SYST,FEAT,OPTS,PWD,CWD,CDUP,TYPE,MODE,STRU,PASV,EPSV,LIST,NLST,RETR,STOR,APPE,REST,SIZE,DELE,RNFR,RNTO,MKD,RMD,NOOP,QUIT,ABOR,STAT
}

case "$command" in
start) start_instance ;;
stop) stop_instance ;;
*)
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
  ;;
esac
