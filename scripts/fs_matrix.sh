#!/usr/bin/env bash
# Runs the file-system legs (tests/fs/fs_legs.py) on small file systems made
# for the run: ext4, XFS and btrfs images on loop devices, a tmpfs, and a
# folder shared over SSH and mounted twice through FUSE (two clients with
# separate caches, as two machines would mount a network folder). Everything
# is unmounted and removed at the end, also on failure.
# usage: scripts/fs_matrix.sh [PATH/TO/zuvo]   (default: build/zuvo)
# ZUVO_FS_LEG=TEXT runs only the legs whose name contains TEXT.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
zuvo=$(realpath "${1:-$root/build/zuvo}")

if [ "$(id -u)" -ne 0 ] || [ ! -e /dev/loop-control ] || [ ! -e /dev/fuse ]; then
  echo "file-system matrix skipped: needs root, loop devices and FUSE (all legs skipped)"
  exit 0
fi
bash "$root/scripts/deps.sh" xfsprogs btrfs-progs openssh-server openssh-client sshfs strace

work=$(mktemp -d /tmp/zuvo-fsm.XXXXXX)
mounts=()
sshd_pid=
cleanup() {
  set +e
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    case ${mounts[i]} in
      *ssh*) fusermount3 -u -z "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" ;;
      *) umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" ;;
    esac
  done
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# A machine that has the devices may still refuse to mount (a container
# without the right): that skips the matrix, it does not fail the tests.
skip() {
  echo "file-system matrix skipped: $1 (all legs skipped)"
  exit 0
}

image() {  # name size-MiB mkfs...
  local name=$1 size=$2; shift 2
  truncate -s "${size}M" "$work/$name.img"
  "$@" "$work/$name.img" >/dev/null 2>&1 || skip "${1} failed"
  mkdir "$work/$name"
  mount -o loop "$work/$name.img" "$work/$name" || skip "cannot mount a $name image"
  mounts+=("$work/$name")
}
image ext4 128 mkfs.ext4 -q -F
image xfs 320 mkfs.xfs -q -f  # the smallest size its tools accept
image btrfs 256 mkfs.btrfs -q -f  # at 128 MiB two writers at once once met an early "no space"
mkdir "$work/tmpfs"
mount -t tmpfs -o size=128m zuvo-tmpfs "$work/tmpfs" || skip "cannot mount a tmpfs"
mounts+=("$work/tmpfs")

# The shared folder lives on its own small disk on the "server" side, so
# that a full disk there reaches the clients.
image export 128 mkfs.ext4 -q -F
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile $work/sshd.pid
Subsystem sftp /usr/lib/openssh/sftp-server
EOF
mkdir -p /run/sshd
/usr/sbin/sshd -D -f "$work/sshd_config" &
sshd_pid=$!
for client in ssh1 ssh2; do
  mkdir "$work/$client"
  for _ in $(seq 50); do  # the server may still be starting
    if sshfs -o "IdentityFile=$work/client_key,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null" \
         -o "port=$port,LogLevel=ERROR" "root@127.0.0.1:$work/export" "$work/$client" \
         2>/dev/null; then
      break
    fi
    sleep 0.1
  done
  mountpoint -q "$work/$client" || skip "cannot mount the shared folder with sshfs"
  mounts+=("$work/$client")
done

legs=$root/tests/fs/fs_legs.py
status=0
for fs in ext4 xfs btrfs tmpfs; do
  # The ext4 legs also keep a store's metadata folder on the XFS image.
  split=()
  [ "$fs" = ext4 ] && split=(--split "$work/xfs")
  python3 "$legs" "$zuvo" "$fs" "$work/$fs" --full-disk "${split[@]}" \
    ${ZUVO_FS_LEG:+--only "$ZUVO_FS_LEG"} || status=1
done
python3 "$legs" "$zuvo" sshfs "$work/ssh1" --second "$work/ssh2" --full-disk \
  ${ZUVO_FS_LEG:+--only "$ZUVO_FS_LEG"} || status=1
# A replicated GlusterFS volume mounted twice, and its faults.
bash "$root/scripts/fs_gluster.sh" "$zuvo" || status=1
[ "$status" -eq 0 ] && echo "file-system matrix: every leg passed on ext4, xfs, btrfs, tmpfs, sshfs"
exit "$status"
