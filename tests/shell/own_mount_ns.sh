#!/usr/bin/env bash
# own_mount_ns.sh SCRIPT ARGS...: runs the shell script in a mount namespace
# of its own, with private propagation.
#
# A mount namespace that any other process makes (ip netns exec, unshare -m)
# copies every mount it can see, and with private propagation an umount here
# does not reach that copy: the file system lives on in it, with its last
# superblock write not done and its loop device attached, until that process
# ends. A test that unmounts a file system and then reads the partition under
# it would then find it half-written, or its loop device still attached.
# Mounts made in a namespace of the test's own are seen by no other test, and
# go with the namespace when the test ends. Children of the script share it.
#
# Without root or unshare(1) the script runs as it is (and skips).
if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null &&
  unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private -- bash "$@"
fi
exec bash "$@"
