# make_status_file DIR: makes DIR/status a file of root's that every local
# user may write (mode 0666), so that the runs of every desktop user keep the
# status up to date; a file that is already there becomes so too, and keeps
# its content. Only in a directory of root's that nobody else may change:
# nothing can then be swapped in under these commands, and a local user can
# write into that one file but neither remove it nor put anything in its
# place. Anything else at the path (a link, a directory) is left alone.
#
# Sourced by the package's postinst and by `cmake --install`.
make_status_file() {
  status_dir=$1
  status_file=$status_dir/status
  if [ -L "$status_dir" ] || [ ! -d "$status_dir" ] ||
     [ -z "$(find "$status_dir" -maxdepth 0 -user 0 ! -perm /022)" ]; then
    return 0
  fi
  if [ ! -e "$status_file" ] && [ ! -L "$status_file" ]; then
    : >"$status_file"
  fi
  if [ -f "$status_file" ] && [ ! -L "$status_file" ]; then
    chown 0:0 "$status_file"
    chmod 0666 "$status_file"
  fi
}
