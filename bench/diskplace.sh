# shellcheck shell=bash
# bench/diskplace.sh, sourced by the benchmarks: where their timed runs
# write when they run on disk.
#
#   disk_place FOLDER   sets bench_disk to a folder on FOLDER's disk
#   disk_place_release  undoes what disk_place set up (call it on exit)
#   bench_places NAME FOLDER
#                       sets places (VELMAR_BENCH_PLACES, else "tmpfs disk")
#                       and, in the caller's "declare -A outs", the folder
#                       each place writes to; removes them and the disk's
#                       place on exit
#
# ext4 without a journal (the root disk of some virtual machines) looks at
# every inode deleted in the last minute before it hands one out again, at a
# cost that grows with their number. A benchmark that removes each output
# right after its timing then times its own clean-up: on one such disk,
# 10,000 new files took 17 us each on a fresh file system and 140 to 280 us
# each after a few removals, whoever made them. There, when it can (root,
# loop devices), disk_place makes an ext4 file system as mkfs makes it by
# default, with a journal, in a sparse file on the same disk, and the runs
# write there; it says so. VELMAR_BENCH_DISK=raw writes into FOLDER anyway.

# shellcheck disable=SC2034 # read by the benchmarks that source this
bench_disk=
bench_disk_image=
bench_disk_mount=

disk_place() {
  local folder=$1 source fstype
  bench_disk=$folder
  [ "${VELMAR_BENCH_DISK:-}" = raw ] && return 0
  read -r source fstype < <(findmnt -no SOURCE,FSTYPE -T "$folder") || return 0
  [ "$fstype" = ext4 ] || return 0
  compgen -G "/proc/fs/jbd2/$(basename "$source")-*" > /dev/null && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "note: $folder is on ext4 without a journal, where each run pays for the" \
      "removal of the one before; run as root to measure on a journaled file system" >&2
    return 0
  fi
  bench_disk_image=$folder/disk.img
  bench_disk_mount=$folder/disk
  mountpoint -q "$bench_disk_mount" && umount "$bench_disk_mount"
  rm -f "$bench_disk_image"
  mkdir -p "$bench_disk_mount"
  # The inode tables and the journal are written now, not by the kernel in
  # the background while the runs are timed.
  if truncate -s 8G "$bench_disk_image" &&
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$bench_disk_image" &&
    mount -o loop "$bench_disk_image" "$bench_disk_mount"; then
    bench_disk=$bench_disk_mount
    echo "disk: $source is ext4 without a journal; the runs write to a journaled ext4" \
      "in $bench_disk_image, on the same disk"
  else
    echo "note: no journaled file system could be made; the runs write into $folder" >&2
    disk_place_release
  fi
}

disk_place_release() {
  [ -n "$bench_disk_mount" ] || return 0
  mountpoint -q "$bench_disk_mount" && umount "$bench_disk_mount"
  rm -f "$bench_disk_image"
  rmdir "$bench_disk_mount" 2> /dev/null || true
  bench_disk_mount=
  bench_disk_image=
}

# shellcheck disable=SC2154 # outs: the caller's associative array
bench_places() {
  places=${VELMAR_BENCH_PLACES:-tmpfs disk}
  outs[tmpfs]=/dev/shm/velmar-bench-$1-$$
  case " $places " in *" disk "*) disk_place "$2" ;; esac
  outs[disk]=${bench_disk:-$2}/out-$1-$$
  trap 'rm -rf "${outs[@]}"; disk_place_release' EXIT
}
