#!/usr/bin/env bash
# A private Samba server on 127.0.0.1 for the network-share suite.
#
#   smb.sh start STATE_DIR   starts smbd with its own configuration, databases
#                            and logs inside STATE_DIR and its shares' folders
#                            below /tmp (see datadir.sh), on a free high port,
#                            waits until it answers and writes STATE_DIR/env
#   smb.sh stop STATE_DIR    stops exactly that smbd and its RPC server
#                            (samba-dcerpcd, which serves share lists) and
#                            leaves nothing running
#
# STATE_DIR/env holds, one per line:
#   PORT=      the TCP port smbd listens on (127.0.0.1 only)
#   SHARE=     the writable disk share, served as the user "nobody"
#   ROOT=      the folder behind SHARE
#   USER=      the account to log on with (root, kept in the private password
#              database only)
#   PASSWORD=  its password
#   PUBLIC=    a writable disk share open to anonymous clients (guest)
#   PUBLIC_ROOT= the folder behind PUBLIC
#   PRINTER=   a print share, which a share enumeration must leave out
#
# Clients reach the server as //127.0.0.1:PORT/SHARE (libsmbclient takes the port
# from the server part of the path).
#
# smbd needs root (it switches to the share's user for every file operation).
set -euo pipefail

action=${1:-}
state=${2:-}
if [ -z "$action" ] || [ -z "$state" ]; then
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
fi
# smbd wants absolute paths; the folder is emptied on start, so never "/".
state=$(realpath -m -- "$state")
if [ "$state" = "/" ]; then
  echo "smb.sh: refusing STATE_DIR /" >&2
  exit 2
fi

# shellcheck source=datadir.sh
source "$(dirname "$0")/datadir.sh"

dcerpcd=/usr/libexec/samba/samba-dcerpcd

# Stops the process whose pid is in the file, if it still reads our
# configuration (a pid may have been handed to another process since).
stop_pid() {
  local file=$1 pid
  if [ -f "$file" ]; then
    pid=$(cat "$file")
    if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q -- "$state/smb.conf"; then
      kill -TERM "$pid" 2>/dev/null || true
      for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$file"
  fi
}

stop_server() {
  stop_pid "$state/run/smbd.pid"
  # Its workers end with it.
  stop_pid "$state/run/dcerpcd.pid"
}

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# smbd takes connections, and the RPC server behind share lists is there.
answers() {
  port_in_use "$1" && [ -S "$state/ncalrpc/np/srvsvc" ]
}

write_conf() {
  local port=$1 data=$2
  cat >"$state/smb.conf" <<EOF
[global]
  workgroup = WORKGROUP
  netbios name = TANDEMORATEST
  server string = Tandemora test server
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  server min protocol = SMB2
  private dir = $state/private
  lock directory = $state/lock
  state directory = $state/state
  cache directory = $state/cache
  pid directory = $state/pid
  ncalrpc dir = $state/ncalrpc
  binddns dir = $state/binddns
  log file = $state/log/smbd.log
  log level = 1
  max log size = 0
  passdb backend = tdbsam:$state/private/passdb.tdb
  map to guest = never
  # The RPC server is started (and stopped) by this script, so that no helper
  # that smbd would start on its own outlives the test run.
  rpc start on demand helpers = no
  # The shares run as "nobody"; as the guest account it would be mapped to the
  # guest's identity, which then does not own its own files.
  guest account = daemon
  usershare path =
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  store dos attributes = no
  map readonly = yes

[data]
  path = $data/share
  read only = no
  force user = nobody
  force group = nogroup
  create mask = 0666
  directory mask = 0777

[public]
  path = $data/public
  read only = no
  guest ok = yes
  force user = nobody
  force group = nogroup
  create mask = 0666
  directory mask = 0777

[printer]
  path = $data/spool
  printable = yes
  read only = yes
EOF
}

start_server() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "smb.sh: smbd must run as root" >&2
    exit 1
  fi
  stop_server
  remove_data_dir "$state"
  rm -rf "$state"
  mkdir -p "$state"/{private,lock,state,cache,pid,run,ncalrpc,binddns,log}
  chmod 0755 "$state"
  # The shares work as "nobody", who must reach their folders.
  local data
  data=$(make_data_dir "$state" smb)
  mkdir -p "$data"/{share,public,spool}
  chown nobody:nogroup "$data/share" "$data/public"
  chmod 0777 "$data/share" "$data/public"
  chmod 1777 "$data/spool"
  local user=root
  local password
  password="pw-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"

  local attempt port pid
  for attempt in $(seq 1 20); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    if port_in_use "$port"; then
      continue
    fi
    write_conf "$port" "$data"
    printf '%s\n%s\n' "$password" "$password" | smbpasswd -c "$state/smb.conf" -s -a "$user" >>"$state/log/console.log" 2>&1
    # Each in a session of its own: smbd ends by signalling its whole process
    # group, which must not be the caller's (ctest, a test, a shell).
    setsid "$dcerpcd" --foreground --no-process-group --libexec-rpcds -s "$state/smb.conf" \
      </dev/null >>"$state/log/console.log" 2>&1 &
    echo "$!" >"$state/run/dcerpcd.pid"
    setsid smbd --foreground --no-process-group -s "$state/smb.conf" </dev/null >>"$state/log/console.log" 2>&1 &
    pid=$!
    echo "$pid" >"$state/run/smbd.pid"
    for _ in $(seq 1 100); do
      if ! kill -0 "$pid" 2>/dev/null; then
        break
      fi
      if answers "$port"; then
        cat >"$state/env" <<EOF
PORT=$port
SHARE=data
ROOT=$data/share
USER=$user
PASSWORD=$password
PUBLIC=public
PUBLIC_ROOT=$data/public
PRINTER=printer
EOF
        return 0
      fi
      sleep 0.1
    done
    # The port was taken meanwhile, or smbd did not come up: try another.
    stop_server
  done
  echo "smb.sh: smbd did not start; see $state/log" >&2
  exit 1
}

case "$action" in
start) start_server ;;
stop)
  stop_server
  remove_data_dir "$state"
  ;;
*)
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
  ;;
esac
