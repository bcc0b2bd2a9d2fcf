#!/usr/bin/env bash
# Makes the Debian package from a build folder, unpacks it into a scratch root with dpkg -x and
# runs the programs from there: --help of every program, then the manager headless, which starts
# the engine of the package without ZEP_PATH.
#   package_test.sh BUILD_DIR OPTIONS_TEST_PROGRAM
set -euo pipefail
build=$1
options_test=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zep-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

# The package. Plain gzip keeps this quick.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" \
  -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip > "$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$(ls "$scratch"/out/*.deb)
echo "package: $(basename "$deb")"
fields=$(dpkg-deb -f "$deb" Package Version Depends)
echo "$fields"
grep -q '^Package: zep$' <<<"$fields" || fail "package name"
grep -q '^Depends: .*libportaudio2' <<<"$fields" || fail "no dependency on PortAudio"
grep -q '^Depends: .*libqt6widgets6' <<<"$fields" || fail "no dependency on Qt Widgets"

root="$scratch/root"
dpkg -x "$deb" "$root"
zep="$root/opt/zep"

# The package holds the same tree as `cmake --install`, and the desktop entries.
cmake --install "$build" --prefix "$scratch/installed" > /dev/null
diff <(cd "$scratch/installed" && find . -type f | sort) <(cd "$zep" && find . -type f | sort) ||
  fail "the package's tree differs from cmake --install's"
for f in Core/KSengine Standalone/KSengine Standalone/ROduduzedi Standalone/RAdarozuror \
  ZEPrecord/ZEPrecord ZEPretrieve/ZEPretrieve zepmanager zepaudio zepvideo streamer kestrel \
  servers/userserver servers/streamserver PLUGINS.CFG RINGIN.WAV clips/clip.aud; do
  [ -f "$zep/$f" ] || fail "$f is missing under /opt/zep"
done
for app in zep-manager zep-streamer zep-kestrel; do
  desktop="$root/usr/share/applications/$app.desktop"
  [ -f "$desktop" ] || fail "$app.desktop is missing"
  exec=$(sed -n 's/^Exec=//p' "$desktop")
  [ -x "$root$exec" ] || fail "$app.desktop runs $exec, which the package does not hold"
  grep -q "^Icon=$app$" "$desktop" || fail "$app.desktop names another icon"
  [ -f "$root/usr/share/icons/hicolor/scalable/apps/$app.svg" ] || fail "$app.svg is missing"
done

# Every program of the package answers --help, --version and an unknown option.
ZEP_INSTALLED_TREE="$zep" "$options_test" --gtest_filter='ProgramOptions.HelpVersion*' \
  > "$scratch/options.log" 2>&1 || { cat "$scratch/options.log"; fail "--help of the package"; }

# The manager of the package, headless, with its engine; no ZEP_PATH and no sound card.
host=127.252.18.$((RANDOM % 200 + 20))
in="$scratch/manager.in"
mkfifo "$in"
env -u ZEP_PATH -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ZEP_HOST=$host ZEP_USER=pkg \
  ZEP_AUDIO_OUT=none ZEP_ENGINE_LOG="$scratch/engine.log" \
  "$zep/zepmanager" --headless < "$in" > "$scratch/manager.out" 2>&1 &
manager=$!
exec 3> "$in"
ready=
for _ in $(seq 100); do
  if grep -q "Status = Conferencing panel ready to use" "$scratch/manager.out"; then ready=1; break; fi
  sleep 0.1
done
[ -n "$ready" ] || { cat "$scratch/manager.out" "$scratch/engine.log"; fail "manager not ready"; }
echo "click File/Exit" >&3
exec 3>&-
status=0
wait $manager || status=$?
[ $status -eq 0 ] || { cat "$scratch/manager.out"; fail "manager ended with $status"; }
grep -q "Engine: ZEP_PATH is not set; using installation directory $zep" "$scratch/engine.log" ||
  { cat "$scratch/engine.log"; fail "the engine did not find its own tree"; }
grep -q "Daemon initialized" "$scratch/engine.log" || fail "the engine did not start"
echo "package test: the manager and its engine ran from $zep"
