# shellcheck shell=bash
# Sourced by the server scripts: the folder that holds what a server serves.
#
# Servers work as unprivileged users (nobody, ftp, www-data), who must reach
# their folders whatever folder the checkout sits in; below the build folder of
# a checkout inside a private 0700 folder they cannot. So the served folders
# live in a folder of their own below /tmp, made for each start and removed at
# each stop; STATE_DIR/data-dir remembers which one it is.

# Makes a fresh folder for STATE_DIR and prints it.
make_data_dir() {
  local state=$1 kind=$2 dir
  dir=$(mktemp -d "/tmp/tandemora-$kind.XXXXXXXX")
  chmod 755 "$dir"
  echo "$dir" >"$state/data-dir"
  echo "$dir"
}

# Removes the folder remembered in STATE_DIR, if it is one this file made.
remove_data_dir() {
  local state=$1 dir
  dir=$(cat "$state/data-dir" 2>/dev/null || true)
  if [[ "$dir" =~ ^/tmp/tandemora-[a-z]+\.[A-Za-z0-9]+$ ]] && [ -d "$dir" ] && [ ! -L "$dir" ]; then
    # Tests lock folders away (mode 0) to see unreadable folders; open them
    # again so that the removal is not refused.
    chmod -R u+rwx "$dir" 2>/dev/null || true
    rm -rf -- "$dir"
  fi
  rm -f "$state/data-dir"
}
