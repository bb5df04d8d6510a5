#!/usr/bin/env bash
# fetch_pipewire_alsa.sh OUTDIR
# Puts PipeWire's own ALSA plugin, from Debian's pipewire-alsa package of the
# same version as the installed pipewire, into OUTDIR (the two modules and a
# file `version`) without installing the package: installed, it would make
# PipeWire the default ALSA device of every program on the machine. A run's
# .asoundrc loads the modules from there. Needs the Debian mirror once per
# OUTDIR and pipewire version.
set -euo pipefail
out=$1
fail() {
  echo "fetch_pipewire_alsa: $*" >&2
  exit 1
}

version=$(dpkg-query -W -f='${Version}' pipewire 2>/dev/null) ||
  fail "pipewire is not installed (scripts/setup.sh --tests installs it)"
[ "$(cat "$out/version" 2>/dev/null)" = "$version" ] && exit 0

rm -rf "$out.new"
mkdir -p "$out.new"
cd "$out.new"
# Package lists that are missing or older than the installed pipewire are
# brought up to date once.
download() { apt-get download -q "pipewire-alsa=$version" >>download.log 2>&1; }
if ! download && ! { apt-get update -qq >>download.log 2>&1 && download; }; then
  fail "could not fetch pipewire-alsa $version from the Debian mirror:
$(cat download.log)"
fi
deb=$(echo pipewire-alsa_*.deb)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
  fail "$deb is not version $version of the installed pipewire"
dpkg-deb -x "$deb" unpacked
for module in pcm ctl; do
  mv unpacked/usr/lib/*/alsa-lib/"libasound_module_${module}_pipewire.so" .
done
rm -rf unpacked "$deb" download.log
echo "$version" >version
cd ..
rm -rf "$out"
mv "$out.new" "$out"
