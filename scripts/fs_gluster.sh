#!/usr/bin/env bash
# The GlusterFS leg of the file-system matrix: one glusterd on a loopback
# address, a volume replicated over bricks on their own XFS images, mounted
# twice through FUSE as two machines would. Runs every leg of
# tests/fs/fs_legs.py across the two mounts, then the faults of the cluster
# (tests/fs/cluster_faults.py): a brick's server killed in an ingest and
# healed, a client killed in a copy, the store lock between the clients.
# Everything started here is stopped and removed at the end, also on failure.
# usage: scripts/fs_gluster.sh [PATH/TO/zuvo]
# bench/shared-fs.sh sources this file for gluster_start and gluster_stop.

# Bricks and clients talk over this address: the volume tools refuse
# 127.0.0.1 and "localhost" for a brick, and a second loopback address is
# still this machine only.
GL_HOST=127.0.0.2
GL_WORK=
GL_VOL=
GL_SOCK=
GL_MOUNTS=()
GL_BRICKS=()
GL_STARTED=0
GL_WHY=

gl() { timeout 60 gluster --mode=script "--glusterd-sock=$GL_SOCK" "$@"; }

# Brick logs go to the tools' own folder, named after the brick's path.
gl_brick_log() { echo "/var/log/glusterfs/bricks/$(echo "${1#/}" | tr / -).log"; }

# gluster_start WORK BRICKS [MIB]: glusterd, a volume replicated over BRICKS
# bricks of MIB MiB (default 320, the smallest XFS its tools make; a small
# volume fills fast in the full-disk leg) and two client mounts,
# $GL_WORK/c1 and $GL_WORK/c2. Returns 1 with the reason in GL_WHY when this
# machine cannot run it; gluster_stop undoes whatever was done.
gluster_start() {
  GL_WORK=$1
  local bricks=$2 size=${3:-320} i
  GL_VOL=zuvo$$
  GL_SOCK=$GL_WORK/glusterd.socket
  if [ "$(id -u)" -ne 0 ] || [ ! -e /dev/loop-control ] || [ ! -e /dev/fuse ]; then
    GL_WHY="needs root, loop devices and FUSE"; return 1;
  fi
  if ! command -v glusterd >/dev/null || ! command -v mkfs.xfs >/dev/null; then
    GL_WHY="glusterd or mkfs.xfs missing"; return 1;
  fi
  if (exec 3<>"/dev/tcp/$GL_HOST/24007") 2>/dev/null; then
    GL_WHY="port 24007 is taken (a glusterd is running already)"; return 1;
  fi
  mkdir -p "$GL_WORK/glusterd" "$GL_WORK/run" "$GL_WORK/log"
  cat >"$GL_WORK/glusterd.vol" <<EOF
volume management
    type mgmt/glusterd
    option working-directory $GL_WORK/glusterd
    option run-directory $GL_WORK/run
    option glusterd-sockfile $GL_SOCK
    option transport-type socket
    option transport.socket.bind-address $GL_HOST
    option transport.socket.listen-port 24007
    option ping-timeout 0
    option event-threads 1
end-volume
EOF
  glusterd -f "$GL_WORK/glusterd.vol" -p "$GL_WORK/glusterd.pid" -l "$GL_WORK/log/glusterd.log" \
    --log-level WARNING || { GL_WHY="glusterd does not start"; return 1; }
  GL_STARTED=1
  for i in $(seq 100); do gl pool list >/dev/null 2>&1 && break; sleep 0.1; done
  gl pool list >/dev/null 2>&1 || { GL_WHY="glusterd does not answer"; return 1; }
  local list=()
  for ((i = 1; i <= bricks; i++)); do
    truncate -s "${size}M" "$GL_WORK/b$i.img"
    mkfs.xfs -q -f -i size=512 "$GL_WORK/b$i.img" >/dev/null 2>&1 || { GL_WHY="mkfs.xfs failed"; return 1; }
    mkdir "$GL_WORK/b$i"
    # A fixed allocation size: XFS's preallocation past a growing file's end
    # comes back only later, and would make the volume look full too early.
    mount -o loop,allocsize=64k "$GL_WORK/b$i.img" "$GL_WORK/b$i" || { GL_WHY="cannot mount an XFS image"; return 1; }
    GL_BRICKS+=("$GL_WORK/b$i")
    mkdir "$GL_WORK/b$i/brick"
    list+=("$GL_HOST:$GL_WORK/b$i/brick")
  done
  if ! gl volume create "$GL_VOL" replica "$bricks" "${list[@]}" force >/dev/null ||
    ! gl volume start "$GL_VOL" >/dev/null; then
    GL_WHY="the volume does not start"; return 1
  fi
  for i in 1 2; do
    mkdir "$GL_WORK/c$i"
    glusterfs "--volfile-server=$GL_HOST" "--volfile-id=$GL_VOL" -p "$GL_WORK/c$i.pid" \
      -l "$GL_WORK/log/c$i.log" "$GL_WORK/c$i" || { GL_WHY="the FUSE client does not start"; return 1; }
    GL_MOUNTS+=("$GL_WORK/c$i")
    for _ in $(seq 100); do mountpoint -q "$GL_WORK/c$i" && break; sleep 0.1; done
    mountpoint -q "$GL_WORK/c$i" || { GL_WHY="the volume does not mount"; return 1; }
  done
}

gluster_stop() {
  set +e
  local m p
  for m in "${GL_MOUNTS[@]}"; do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null
  done
  for p in "$GL_WORK"/c*.pid; do
    [ -f "$p" ] && kill "$(cat "$p")" 2>/dev/null
  done
  if [ "$GL_STARTED" = 1 ]; then
    gl volume stop "$GL_VOL" force >/dev/null 2>&1
    gl volume delete "$GL_VOL" >/dev/null 2>&1
    # Whatever the volume left running (a brick whose stop failed).
    for p in $(find "$GL_WORK/run" -name '*.pid' 2>/dev/null) "$GL_WORK/glusterd.pid"; do
      [ -s "$p" ] && kill "$(cat "$p")" 2>/dev/null
    done
    sleep 0.5
  fi
  for m in "${GL_BRICKS[@]}"; do
    umount "$m" 2>/dev/null || umount -l "$m"
    rm -f "$(gl_brick_log "$m/brick")"
  done
  [ -n "$GL_VOL" ] && rm -f "/var/log/glusterfs/glfsheal-$GL_VOL.log"
  GL_MOUNTS=() GL_BRICKS=() GL_STARTED=0
  [ -n "$GL_WORK" ] && rm -rf "$GL_WORK"
  GL_WORK=
}

gluster_leg() {
  set -euo pipefail
  local root zuvo status=0 started
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  zuvo=$(realpath "${1:-$root/build/zuvo}")
  started=$(date +%s)
  if [ "$(id -u)" -eq 0 ]; then bash "$root/scripts/deps.sh" glusterfs-server glusterfs-client xfsprogs strace; fi
  trap gluster_stop EXIT
  if ! gluster_start "$(mktemp -d /tmp/zuvo-gl.XXXXXX)" 2; then
    echo "GlusterFS leg skipped: $GL_WHY"
    exit 0
  fi
  local m1=${GL_MOUNTS[0]} m2=${GL_MOUNTS[1]}
  python3 "$root/tests/fs/fs_legs.py" "$zuvo" glusterfs "$m1" --second "$m2" --full-disk \
    --locks-across ${ZUVO_FS_LEG:+--only "$ZUVO_FS_LEG"} || status=1
  python3 "$root/tests/fs/cluster_faults.py" "$zuvo" "$m1" "$m2" --volume "$GL_VOL" \
    --sock "$GL_SOCK" --client-pid "$GL_WORK/c2.pid" || status=1
  [ "$status" -eq 0 ] && echo "GlusterFS: every leg passed ($(($(date +%s) - started)) s)"
  return "$status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  gluster_leg "$@"
  exit $?
fi
