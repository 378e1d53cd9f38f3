# Sourced by the benchmarks: the folder each run writes its output into,
# $output, made by fresh_output and dropped by drop_output; both need $work.
# As root, every run gets a fresh ext4 file system (a sparse image in $work
# on a loop device with direct I/O), dropped afterwards: every run starts
# from the same empty file system, and no run pays for removing hundreds of
# thousands of files of the last one. Otherwise each run gets a folder
# never used before, removed once the run is done.
loop=""
output_runs=0
last_output=""
# Removing many files in one go can take minutes on a file system that
# discards freed blocks; a sync every few thousand files keeps it shorter.
remove_tree() {
  [ -e "$1" ] || return 0
  find "$1" -type f -print0 | xargs -0 -r -n 5000 sh -c 'rm -f "$@"; sync' _
  rm -rf "$1"; sync
}
fresh_output() {
  drop_output
  output_runs=$((output_runs + 1))
  if [ "$(id -u)" -eq 0 ]; then
    truncate -s 64G "$work/fs.img"
    mkfs.ext4 -q -F -N 8000000 "$work/fs.img"
    loop=$(losetup -f --show --direct-io=on "$work/fs.img")
    mkdir -p "$work/fs"
    mount -o noinit_itable "$loop" "$work/fs"
    output="$work/fs"
  else
    output="$work/run-$output_runs"
    mkdir -p "$output"
    last_output=$output
  fi
}
drop_output() {
  if [ -n "$loop" ]; then
    umount "$work/fs" && losetup -d "$loop"
    loop=""
    rm -f "$work/fs.img"
  elif [ -n "$last_output" ]; then
    remove_tree "$last_output"
    last_output=""
  fi
}
