#!/usr/bin/env bash
# A private Apache httpd with mod_dav on 127.0.0.1, for the WebDAV suites.
#
#   webdav.sh start STATE_DIR   starts an instance whose config, logs and
#                               certificates live in STATE_DIR and whose DAV
#                               folders, lock database and password file live
#                               below /tmp (see datadir.sh), waits until it
#                               answers, and writes STATE_DIR/env (PORT, ROOT,
#                               URL, USER, PASSWORD, HTTPS_URL, HTTPS_ROOT,
#                               CA_FILE, and URL and ROOT with "RCLONE_" and
#                               "LIGHTTPD_" in front for the other servers)
#   webdav.sh stop STATE_DIR    stops exactly that instance
#
# The DAV folder ROOT is served at http://127.0.0.1:PORT/dav with Basic
# authentication, and at HTTPS_URL over TLS with a certificate for 127.0.0.1
# signed by a CA made for this instance (CA_FILE). Run as root, the server
# works as www-data (httpd refuses to serve as root), so the DAV folder is
# handed to that user.
#
# Servers of other makes serve folders of their own with the same user and
# password, for the suites that check them all: rclone's WebDAV server (built
# on Go's webdav package) at RCLONE_URL, and lighttpd's mod_webdav at
# LIGHTTPD_URL (working as www-data too when run as root). Each is started
# when it is installed.
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
  echo "webdav.sh: refusing STATE_DIR /" >&2
  exit 2
fi

# shellcheck source=datadir.sh
source "$(dirname "$0")/datadir.sh"

httpd=/usr/sbin/apache2
modules=/usr/lib/apache2/modules
lighttpd=/usr/sbin/lighttpd

# Stops the server whose pid is in the file and waits until it is gone.
stop_pid() {
  local pidfile=$1 pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile"
}

stop_instance() {
  stop_pid "$state/rclone.pid"
  stop_pid "$state/lighttpd.pid"
  stop_pid "$state/httpd.pid"
  remove_data_dir "$state"
}

# True when something accepts connections on the port.
listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A port nobody listens on: start from a random high port and skip busy ones.
free_port() {
  local port=$((20000 + RANDOM % 30000))
  for _ in $(seq 1 200); do
    if ! listening "$port"; then
      echo "$port"
      return 0
    fi
    port=$((port + 1))
  done
  return 1
}

# True when the DAV folder answers a listing with the test credentials (207).
answers() {
  local port=$1 auth=$2
  (
    exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
    printf 'PROPFIND /dav/ HTTP/1.0\r\nHost: 127.0.0.1\r\nDepth: 0\r\nAuthorization: Basic %s\r\n\r\n' "$auth" >&3
    IFS= read -r status <&3 || exit 1
    case "$status" in *" 207 "*) exit 0 ;; *) exit 1 ;; esac
  ) 2>/dev/null
}

# A private CA and a certificate for 127.0.0.1 signed by it.
make_certificates() {
  local tls="$state/tls"
  mkdir -p "$tls"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Tandemora test CA" \
    -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\n' >"$tls/ext"
  openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial \
    -days 30 -extfile "$tls/ext" -out "$tls/server.pem" 2>/dev/null
  chmod 644 "$tls/server.key"
}

write_config() {
  local port=$1 tls_port=$2 data=$3
  local run_as=""
  if [ "$(id -u)" -eq 0 ]; then
    run_as="User www-data
Group www-data"
  fi
  cat >"$state/httpd.conf" <<EOF
ServerRoot "$state"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$state/httpd.pid"
ErrorLog "$state/logs/error.log"
LogLevel warn
LogFormat "%h %u \"%r\" %>s %b" plain
CustomLog "$state/logs/access.log" plain
Mutex file:$data/lock default
$run_as

LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authn_file_module $modules/mod_authn_file.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule auth_basic_module $modules/mod_auth_basic.so
LoadModule dav_module $modules/mod_dav.so
LoadModule dav_fs_module $modules/mod_dav_fs.so
LoadModule socache_shmcb_module $modules/mod_socache_shmcb.so
LoadModule ssl_module $modules/mod_ssl.so

StartServers 1
ServerLimit 2
ThreadsPerChild 25
MaxRequestWorkers 50
MinSpareThreads 5
MaxSpareThreads 50
KeepAlive On
Timeout 60

DocumentRoot "$data/apache"
DavLockDB "$data/lock/DavLock"

Listen 127.0.0.1:$tls_port https
SSLSessionCache "shmcb:$data/lock/ssl_cache(512000)"
<VirtualHost 127.0.0.1:$tls_port>
  SSLEngine on
  SSLCertificateFile "$state/tls/server.pem"
  SSLCertificateKeyFile "$state/tls/server.key"
</VirtualHost>

<Directory />
  AllowOverride None
  Require all denied
</Directory>

<Directory "$data/apache/dav">
  DAV On
  Options None
  AuthType Basic
  AuthName "Tandemora tests"
  AuthUserFile "$data/htpasswd"
  Require valid-user
</Directory>
EOF
}

# rclone's WebDAV server, when rclone is installed. Its directory cache is off,
# so that what a test puts on disk directly is seen at once.
start_rclone() {
  local user=$1 password=$2 auth=$3 data=$4
  command -v rclone >/dev/null || return 0
  mkdir -p "$data/rclone/dav"
  local port
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    setsid rclone serve webdav "$data/rclone/dav" --config /dev/null --addr "127.0.0.1:$port" \
      --baseurl /dav --user "$user" --pass "$password" --dir-cache-time 0s \
      </dev/null >>"$state/logs/rclone.log" 2>&1 &
    echo $! >"$state/rclone.pid"
    for _ in $(seq 1 100); do
      if answers "$port" "$auth"; then
        cat >>"$state/env" <<EOF
RCLONE_URL=http://127.0.0.1:$port/dav
RCLONE_ROOT=$data/rclone/dav
EOF
        return 0
      fi
      sleep 0.1
    done
    stop_pid "$state/rclone.pid"
  done
  echo "webdav.sh: rclone did not start; see $state/logs/rclone.log" >&2
  return 1
}

write_lighttpd_config() {
  local port=$1 data=$2
  local run_as=""
  if [ "$(id -u)" -eq 0 ]; then
    run_as='server.username = "www-data"
server.groupname = "www-data"'
  fi
  cat >"$state/lighttpd.conf" <<EOF
server.modules = ("mod_auth", "mod_authn_file", "mod_webdav")
server.document-root = "$data/lighttpd"
server.bind = "127.0.0.1"
server.port = $port
server.upload-dirs = ("$data/lighttpd-upload")
# Tests write files into its folder directly, as another client would: each
# request looks at the disk, not at a size remembered for a second.
server.stat-cache-engine = "disable"
$run_as
auth.backend = "htpasswd"
auth.backend.htpasswd.userfile = "$data/htpasswd"
\$HTTP["url"] =~ "^/dav(\$|/)" {
  webdav.activate = "enable"
  webdav.is-readonly = "disable"
  auth.require = ("" => ("method" => "basic", "realm" => "Tandemora tests", "require" => "valid-user"))
}
EOF
}

# lighttpd's WebDAV module, when lighttpd and the module are installed. It
# logs to the console log (an error log file would be opened after it gave up
# root, where it could not create one).
start_lighttpd() {
  local auth=$1 data=$2
  [ -x "$lighttpd" ] && [ -f /usr/lib/lighttpd/mod_webdav.so ] || return 0
  mkdir -p "$data/lighttpd/dav" "$data/lighttpd-upload"
  if [ "$(id -u)" -eq 0 ]; then
    chown www-data:www-data "$data/lighttpd/dav" "$data/lighttpd-upload"
  fi
  local port
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    write_lighttpd_config "$port" "$data"
    setsid "$lighttpd" -D -f "$state/lighttpd.conf" </dev/null >>"$state/logs/lighttpd.log" 2>&1 &
    echo $! >"$state/lighttpd.pid"
    for _ in $(seq 1 100); do
      if answers "$port" "$auth"; then
        cat >>"$state/env" <<EOF
LIGHTTPD_URL=http://127.0.0.1:$port/dav
LIGHTTPD_ROOT=$data/lighttpd/dav
EOF
        return 0
      fi
      kill -0 "$(cat "$state/lighttpd.pid")" 2>/dev/null || break
      sleep 0.1
    done
    stop_pid "$state/lighttpd.pid"
  done
  echo "webdav.sh: lighttpd did not start; see $state/logs/lighttpd.log" >&2
  cat "$state/logs/lighttpd.log" >&2 2>/dev/null || true
  return 1
}

start_instance() {
  stop_instance
  rm -rf "$state"
  mkdir -p "$state/logs"
  chmod 755 "$state"
  local data
  data=$(make_data_dir "$state" webdav)
  mkdir -p "$data/apache/dav" "$data/lock"
  local user=tandemora
  local password
  password="pw-$RANDOM$RANDOM"
  # Read by the servers' workers for every request, so it lives with the data.
  htpasswd -bc "$data/htpasswd" "$user" "$password" >/dev/null 2>&1
  chmod 644 "$data/htpasswd"
  if [ "$(id -u)" -eq 0 ]; then
    chown www-data:www-data "$data/apache/dav" "$data/lock"
  fi

  make_certificates

  local auth
  auth=$(printf '%s' "$user:$password" | base64 -w0)
  local port tls_port
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    tls_port=$(free_port)
    [ "$tls_port" != "$port" ] || continue
    write_config "$port" "$tls_port" "$data"
    if "$httpd" -f "$state/httpd.conf" -k start 2>>"$state/logs/start.log"; then
      # Wait until the DAV folder answers a listing with the test credentials.
      for _ in $(seq 1 100); do
        if answers "$port" "$auth"; then
          cat >"$state/env" <<EOF
PORT=$port
ROOT=$data/apache/dav
URL=http://127.0.0.1:$port/dav
USER=$user
PASSWORD=$password
HTTPS_URL=https://127.0.0.1:$tls_port/dav
HTTPS_ROOT=$data/apache/dav
CA_FILE=$state/tls/ca.pem
EOF
          start_rclone "$user" "$password" "$auth" "$data"
          start_lighttpd "$auth" "$data"
          return 0
        fi
        sleep 0.1
      done
    fi
    # The port was taken meanwhile, or the server did not come up: try again.
    stop_pid "$state/httpd.pid"
  done
  echo "webdav.sh: httpd did not start; see $state/logs" >&2
  cat "$state/logs/start.log" "$state/logs/error.log" >&2 2>/dev/null || true
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
