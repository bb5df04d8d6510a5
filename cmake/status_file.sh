# close_status_file DIR: removes DIR/status when earlier installs made it
# writable by every local user (mode 0666): under /usr, nothing may be
# written by just anyone, and a descriptor that someone opened on it while
# it was 0666 keeps the right to write whatever its mode becomes, so the
# file must no longer be the one at that name; the next run of root's makes
# a fresh one. Before it goes, its write bits and what was written into it
# go too (a disk filled through it), so that another name someone gave it (a
# hard link) keeps neither the right to write nor the space. A file that
# only a group chosen by the admin may write is left as it is; a link, or
# anything but a regular file, is left alone. Only in a directory of root's
# that nobody else may change, so that nothing can be swapped in under these
# commands.
#
# No install makes the status file any more: runs of root's make it, and the
# runs of every user keep the user's own in $XDG_RUNTIME_DIR.
#
# Sourced by the package's postinst and by `cmake --install`.
close_status_file() {
  status_dir=$1
  status_file=$status_dir/status
  if [ -L "$status_dir" ] || [ ! -d "$status_dir" ] ||
     [ -z "$(find "$status_dir" -maxdepth 0 -user 0 ! -perm /022)" ] ||
     [ -L "$status_file" ] || [ ! -f "$status_file" ] ||
     [ -z "$(find "$status_file" -maxdepth 0 -perm -o+w)" ]; then
    return 0
  fi
  chmod go-w "$status_file"
  : >"$status_file"
  rm -f "$status_file"
}
