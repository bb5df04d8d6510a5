# close_status_file DIR: takes away from DIR/status the write access for
# every local user that earlier installs gave it (mode 0666, now 0644):
# under /usr, nothing may be written by just anyone. What was written into
# it goes too (a disk filled through it), and so does the name when the
# file has another one as well (a hard link that someone made to it): a
# link made in the meantime then keeps neither the space nor the right to
# write, and the next run of root's makes a fresh file. A file that only a
# group chosen by the admin may write is left as it is; a link, or anything
# but a regular file, is left alone. Only in a directory of root's that
# nobody else may change, so that nothing can be swapped in under these
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
  : >"$status_file"
  chmod go-w "$status_file"
  if [ "$(stat -c %h "$status_file")" != 1 ]; then
    rm -f "$status_file"
  fi
}
