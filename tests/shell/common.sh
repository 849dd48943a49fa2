# Shell helpers shared by the host and two-server tests (sourced).

# is_mounted DIR: DIR is a mount point (also one whose FUSE server is gone,
# which mountpoint(1) cannot stat).
is_mounted() { awk -v d="$1" '$2 == d { found = 1 } END { exit !found }' /proc/self/mounts; }
not_mounted() { ! is_mounted "$1"; }

# unmount_under DIR: lazily unmounts every mount below DIR (FUSE mounts of
# hosts that are gone included).
unmount_under() {
  local m
  for m in $(awk -v w="$1/" 'index($2, w) == 1 { print $2 }' /proc/self/mounts); do
    fusermount3 -u -z "$m" 2>/dev/null || umount -l "$m"
  done
}

# wait_until SECONDS COMMAND...: polls the command until it succeeds; false
# when the time runs out.
wait_until() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}
