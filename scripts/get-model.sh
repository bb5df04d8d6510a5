#!/usr/bin/env bash
# tovu-voice-get-model [DIR]: downloads a Vosk speech model, checks it and
# installs it where tovu-voice finds it (installed under that name; manual:
# man/tovu-voice-get-model.1).
#
# Nothing is ever left half-done. The archive is downloaded into a temporary
# folder beside the destination (so on the same file system), checked
# (checksum, size, every entry), unpacked there, written to disk (fsync) and
# moved into place with one rename. On any failure, Ctrl-C, SIGTERM or SIGHUP
# the temporary folder and any folder created for the destination are
# removed again, so that the destination and its parent are as they were.
# Runs into the same parent folder take turns (a lock on that folder), and
# each removes what a run killed there before it (SIGKILL, the OOM killer)
# left behind.
set -euo pipefail

me=tovu-voice-get-model

# The default model: the small US English one (Apache-2.0).
default_url=https://alphacephei.com/vosk/models/vosk-model-small-en-us-0.15.zip
default_sha256=30f26242c4eb449f948e42cb302dd7a686cb29a3423a8367f99ff41780942498
default_size=41205931
default_dir=/usr/share/vosk-model-small-en-us-0.15
# A model from another source goes to the first place tovu-voice looks.
other_dir=/usr/share/extras/tovu/model
# tovu-voice's fixed model places, in the order it tries them.
fixed_places=(/usr/share/extras/tovu/model /usr/share/vosk-model-en-us-0.22
              /usr/share/vosk-model-small-en-us-0.15 /usr/share/vosk/model)
connect_seconds=10
# A transfer that brings no data for about 30 s is given up: curl's
# --speed-time, counted once its measure of the speed (over its last 6 s or
# so) has fallen to nothing, so 27 s to 33 s after the last data. Not for
# users: TOVU_MODEL_STALL_SECONDS only lets the tests see it sooner.
stall_seconds=27
[[ ${TOVU_MODEL_STALL_SECONDS:-} =~ ^[1-9][0-9]*$ ]] && stall_seconds=$TOVU_MODEL_STALL_SECONDS

# One line on standard error, then exit status 1.
fail() {
  echo "$me: $*" >&2
  exit 1
}
usage() {
  echo "usage: $me [DIR]   (see man $me)"
}

case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  --) shift ;;
  -?*) usage >&2; exit 1 ;;
esac
[ $# -le 1 ] || { usage >&2; exit 1; }

# ---- What to fetch, and where to --------------------------------------------------

url=${TOVU_MODEL_URL:-}
sha256=${TOVU_MODEL_SHA256:-}
if [ -z "$url" ] && [ -z "$sha256" ]; then
  url=$default_url
  sha256=$default_sha256
  size=$default_size
  dest=${1:-$default_dir}
elif [ -z "$url" ] || [ -z "$sha256" ]; then
  fail "TOVU_MODEL_URL and TOVU_MODEL_SHA256 go together: set both (the archive's address and its" \
       "SHA-256 checksum), or neither for the default model; nothing was changed"
else
  [[ $sha256 =~ ^[0-9a-fA-F]{64}$ ]] ||
    fail "TOVU_MODEL_SHA256 must be the archive's SHA-256 checksum, 64 hexadecimal digits; nothing was changed"
  sha256=${sha256,,}
  size=""
  dest=${1:-$other_dir}
fi
[ -n "$dest" ] || fail "DIR is empty: name the directory to install the model in"
dest=$(realpath -ms -- "$dest")
parent=$(dirname -- "$dest")

# Whether the directory holds a Vosk model (links followed, as tovu-voice does).
# An empty am/final.mdl is what a crash can leave of a model whose data never
# reached the disk: not a model.
is_model() {
  [ -f "$1/am/final.mdl" ] && [ -s "$1/am/final.mdl" ] && [ -f "$1/conf/model.conf" ]
}

# Removes what runs of this user's that were killed left in the parent folder
# (in a folder that others may write too, such as /tmp, only folders of its
# own). Only under the lock, when no run is at work there.
remove_stale() {
  local stale
  for stale in "$parent"/.?*.get-model.??????; do
    if [ -d "$stale" ] && [ ! -L "$stale" ] && [ -O "$stale" ]; then
      rm -rf -- "$stale" 2>/dev/null || true
    fi
  done
}

if is_model "$dest"; then
  # A run killed right after its rename left its temporary folder: removed
  # here too, when no other run is at work (no waiting for one).
  if [ -w "$parent" ] && { exec {lock}<"$parent"; } 2>/dev/null && flock -n "$lock" 2>/dev/null; then
    remove_stale
  fi
  echo "$me: $dest already holds a model; it is kept and nothing was downloaded (to replace it, remove it first)"
  exit 0
fi
# An empty directory is replaced; anything else may be the user's.
if [ -L "$dest" ] || { [ -e "$dest" ] && ! { [ -d "$dest" ] && [ -z "$(ls -A -- "$dest" 2>&1)" ]; }; }; then
  fail "$dest exists but is not a model (no am/final.mdl with data and conf/model.conf in it); it was" \
       "left as it is: move it away, or name another DIR"
fi
# The nearest folder that exists gains the temporary folder, or the folders
# made for the destination.
anchor=$parent
while [ ! -e "$anchor" ] && [ ! -L "$anchor" ]; do
  anchor=$(dirname -- "$anchor")
done
[ -d "$anchor" ] || fail "cannot install in $dest: $anchor is not a directory; nothing was changed"
[ -w "$anchor" ] ||
  fail "cannot write in $anchor; nothing was changed: run it as root (sudo $me), or name a DIR that you can write in"
for tool in curl python3 sha256sum flock; do
  command -v "$tool" >/dev/null ||
    fail "needs $tool (on Debian: apt-get install curl python3 coreutils util-linux); nothing was changed"
done

# Every step after the checksum reaches the archive and the unpacked model
# by their paths. As root, a user who may rename entries in a folder on the
# way to the destination could put a folder of their own in place of the
# temporary one between the checksum and the unpacking, and have root
# install (or unpack through links to anywhere) what they chose. So every
# folder on the way, as named and with its links resolved, must be root's and
# writable by no one else; a sticky folder of root's such as /tmp is fine,
# since there only root may rename root's entries. Such a parent is refused
# rather than the work done as its owner: a folder that a group may write has
# no one owner to become, and a model of that user's own is what the user
# gets by running it without sudo. The check is made before anything is
# made, and again on each missing folder once it exists: in a folder that
# others may write, such as /var/tmp, another user may make it first.
check_way() {
  local way owner mode
  for way in "$1" "$(realpath -e -- "$1")"; do
    while :; do
      read -r owner mode < <(stat -L -c '%u %a' -- "$way")
      if [ "$owner" != 0 ] || { (( 8#$mode & 022 )) && ! (( 8#$mode & 01000 )); }; then
        # Nothing is removed through a folder that someone else may change.
        made=""
        fail "refusing to install into $dest as root: $way belongs to or may be written by another user" \
             "(owner $(stat -L -c %U -- "$way"), mode $mode), who could swap the model while it is checked;" \
             "nothing was changed. Run it as that user, or name a DIR in folders of root's alone"
      fi
      [ "$way" != / ] || break
      way=$(dirname -- "$way")
    done
  done
}
[ "$(id -u)" != 0 ] || check_way "$anchor"

# ---- Undoing everything on the way out ----------------------------------------------

work=""      # the temporary folder beside the destination
made=""      # the topmost folder that this run created for the destination
child=""     # the download or the unpacking, while it runs
installed=0
anchor_mtime=$(stat -c %.9Y -- "$anchor")
clean_up() {
  if [ -n "$child" ]; then
    kill "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  [ -z "$work" ] || rm -rf -- "$work"
  if [ "$installed" = 0 ]; then
    [ -z "$made" ] || rm -rf -- "$made"
    touch -m -d "@$anchor_mtime" -- "$anchor" 2>/dev/null || true
  fi
}
trap clean_up EXIT
trap 'fail "interrupted; nothing was changed"' INT TERM HUP

# Runs a command in the background and waits for it, so that a signal is
# acted on at once rather than once the command has ended.
run_child() {
  local status=0
  "$@" &
  child=$!
  wait "$child" || status=$?
  child=""
  return "$status"
}

# The folders missing down to the parent, one by one: one that a run beside
# this one has just made is not this run's to remove.
if [ "$anchor" != "$parent" ]; then
  IFS=/ read -ra missing <<<"${parent#"${anchor%/}"/}"
  folder=${anchor%/}
  for name in "${missing[@]}"; do
    folder=$folder/$name
    if err=$( (umask 022 && mkdir -- "$folder") 2>&1); then
      made=${made:-$folder}
    elif [ ! -d "$folder" ] || [ -L "$folder" ]; then
      fail "cannot create $parent: ${err#mkdir: }; nothing was changed"
    fi
    [ "$(id -u)" != 0 ] || check_way "$folder"
  done
fi

# ---- One run at a time in the parent folder --------------------------------------------

# The lock is the parent folder itself (flock on a descriptor open on it):
# it is there for as long as anything of this run is, it needs no file of
# its own that could be left behind, and it covers every temporary folder
# that a run may leave in it, whatever the destination's name. The
# download and the unpacking inherit the descriptor, so a run that was
# killed holds the lock until the last of its processes has gone too, and
# then nothing writes in its temporary folder any more.
{ exec {lock}<"$parent"; } 2>/dev/null ||
  fail "cannot read $parent to take its lock; nothing was changed"
status=0
err=$(flock -n -E 75 "$lock" 2>&1) || status=$?
if [ "$status" = 75 ]; then
  echo "$me: another $me is at work in $parent; waiting for it to end"
  status=0
  err=""
  run_child flock "$lock" || status=$?
fi
[ "$status" = 0 ] || fail "cannot lock $parent: ${err:-status $status}; nothing was changed"
[ "$(stat -L -c %d:%i -- "/proc/self/fd/$lock")" = "$(stat -c %d:%i -- "$parent" 2>/dev/null)" ] ||
  fail "$parent was removed by another $me while this one waited; nothing was changed: run it again"
if is_model "$dest"; then
  installed=1
  echo "$me: $dest already holds a model, which the other $me installed; it is kept and nothing was" \
       "downloaded"
  exit 0
fi
remove_stale

made_work=$(mktemp -d -- "$parent/.$(basename -- "$dest").get-model.XXXXXX" 2>&1) ||
  fail "cannot write in $parent: ${made_work#mktemp: }; nothing was changed"
work=$made_work

# ---- Download and checks -----------------------------------------------------------

echo "$me: fetching $url${size:+ ($((size / 1000000)) MB)} into $dest"
archive=$work/model.zip
progress=(--silent)
[ -t 2 ] && progress=(--progress-bar)
status=0
run_child curl -q "${progress[@]}" --globoff --fail --location --connect-timeout "$connect_seconds" \
  --speed-limit 1 --speed-time "$stall_seconds" --output "$archive" \
  --write-out '%{errormsg}' -- "$url" >"$work/curl.out" || status=$?
case $status in
  0) ;;
  22) fail "could not download $url: $(cat "$work/curl.out"); nothing was changed. Check the address" \
           "(for another model: TOVU_MODEL_URL), or run it again later" ;;
  23) fail "could not store the download in $parent: $(cat "$work/curl.out"); nothing was changed." \
           "Make room there (is the disk full?) and run it again" ;;
  *) how="(behind a proxy, set https_proxy or http_proxy)"
     # sudo keeps no proxy variable unless told to.
     if [ -n "${SUDO_USER:-}" ] &&
        [ -z "${https_proxy:-}${HTTPS_PROXY:-}${http_proxy:-}${all_proxy:-}${ALL_PROXY:-}" ]; then
       how="(behind a proxy: sudo drops the proxy variables; pass them on, as in"
       how+=" sudo https_proxy=\$https_proxy $me, or keep them all with sudo -E $me)"
     fi
     fail "could not download $url: $(cat "$work/curl.out"); nothing was changed. Check the network" \
          "connection $how and run it again" ;;
esac
got_size=$(stat -c %s -- "$archive")
if [ -n "$size" ] && [ "$got_size" != "$size" ]; then
  fail "the download of $url is $got_size bytes instead of $size: it is incomplete or not the" \
       "model; nothing was changed. Run it again"
fi
got_sha256=$(sha256sum -- "$archive")
got_sha256=${got_sha256%% *}
if [ "$got_sha256" != "$sha256" ]; then
  fail "the download of $url does not match its SHA-256 checksum (expected $sha256, got" \
       "$got_sha256): it is damaged or not the archive asked for; nothing was changed. Run it again"
fi

# ---- Unpacking -----------------------------------------------------------------------

# Lists the whole archive before anything is written: one top folder holding
# only plain files and folders (no absolute path, no "..", no link, no
# device), with am/final.mdl and conf/model.conf. Then unpacks it into the
# new folder TARGET without that top folder, with modes 0755 and 0644, and
# writes every file and folder of it to disk (fsync), so that once it is
# renamed into place a crash cannot leave empty or short files there.
# Status 2: the archive is not a usable model; 3: TARGET cannot be written.
unpack_py=$(cat <<'PY'
import os, shutil, stat, sys, zipfile, zlib

archive, target = sys.argv[1:3]

def fail(status, why):
    print(why, file=sys.stderr)
    sys.exit(status)

try:
    zf = zipfile.ZipFile(archive)
except (zipfile.BadZipFile, OSError) as e:
    fail(2, "it is not a zip archive (%s)" % e)
top, files, dirs = None, {}, set()
for info in zf.infolist():
    name = info.filename
    parts = name.rstrip("/").split("/")
    kind = stat.S_IFMT(info.external_attr >> 16) if info.create_system == 3 else 0
    if name.startswith("/"):
        fail(2, "the entry %r is an absolute path" % name)
    if ".." in parts:
        fail(2, "the entry %r would land outside the destination" % name)
    if kind == stat.S_IFLNK:
        fail(2, "the entry %r is a symbolic link" % name)
    if kind not in (0, stat.S_IFREG, stat.S_IFDIR) or "" in parts or "." in parts:
        fail(2, "the entry %r is not a plain file or folder" % name)
    if info.flag_bits & 1:
        fail(2, "the entry %r is encrypted" % name)
    if top is None:
        top = parts[0]
    if parts[0] != top or (len(parts) == 1 and not info.is_dir()):
        fail(2, "it does not hold exactly one top folder")
    rel = "/".join(parts[1:])
    if rel in files or (rel in dirs and not info.is_dir()):
        fail(2, "the entry %r appears twice" % name)
    if info.is_dir():
        dirs.add(rel)
    else:
        files[rel] = info
    dirs.update("/".join(parts[1:i]) for i in range(1, len(parts)))
if dirs & files.keys():
    fail(2, "an entry is both a file and a folder")
if "am/final.mdl" not in files or "conf/model.conf" not in files:
    fail(2, "it holds no Vosk model (no am/final.mdl and conf/model.conf in its folder)")

needed = sum(info.file_size for info in files.values())
space = os.statvfs(os.path.dirname(target))
if needed > space.f_bavail * space.f_frsize:
    fail(3, "%d MB are needed, %d MB are free" % (needed // 10**6 + 1,
                                                  space.f_bavail * space.f_frsize // 10**6))
try:
    for rel in sorted(dirs):
        path = os.path.join(target, rel) if rel else target
        os.mkdir(path)
        os.chmod(path, 0o755)
    for rel, info in files.items():
        path = os.path.join(target, rel)
        try:
            with zf.open(info) as src, open(path, "xb") as dst:
                shutil.copyfileobj(src, dst, 1 << 20)
                os.fchmod(dst.fileno(), 0o644)
                dst.flush()
                os.fsync(dst.fileno())
        except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError) as e:
            fail(2, "it is damaged (%s)" % e)
    for rel in sorted(dirs, reverse=True):
        fd = os.open(os.path.join(target, rel) if rel else target, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
except OSError as e:
    fail(3, e.strerror or str(e))
PY
)
status=0
run_child python3 -I -c "$unpack_py" "$archive" "$work/model" 2>"$work/why" || status=$?
case $status in
  0) ;;
  2) fail "$url is not a usable model archive: $(cat "$work/why"); nothing was changed" ;;
  3) fail "cannot unpack the model beside $dest: $(cat "$work/why"); nothing was changed" ;;
  *) fail "cannot unpack $archive (status $status); nothing was changed" ;;
esac

# ---- Into place ----------------------------------------------------------------------

# The one step that changes the destination: a signal must not split it from
# the bookkeeping that keeps it.
trap '' INT TERM HUP
if ! err=$(mv -T -- "$work/model" "$dest" 2>&1); then
  fail "cannot move the model into $dest: ${err#mv: }; nothing was changed"
fi
installed=1
# The rename itself, and the folders made for it, reach the disk too: the
# parent, and each folder up to the one that was there.
folder=$parent
sync -- "$folder" 2>/dev/null || true
while [ "$folder" != "$anchor" ]; do
  folder=$(dirname -- "$folder")
  sync -- "$folder" 2>/dev/null || true
done
echo "$me: installed the model in $dest"
for place in "${fixed_places[@]}"; do
  [ "$place" != "$dest" ] || exit 0
  if [ -d "$place" ] && [ -r "$place" ]; then
    echo "$me: note: tovu-voice takes $place first, as long as that is there"
    exit 0
  fi
done
echo "$me: tovu-voice uses it when started with VOSK_MODEL_PATH=$dest (and no model at its fixed places)"
