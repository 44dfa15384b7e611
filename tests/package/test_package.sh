#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a fresh tree, checks its files and runs the installed program
# end to end through its desktop entry, in a fresh home directory and a network namespace of its own.
#   test_package.sh <build directory>
set -euo pipefail
build=$(readlink -f "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null) || fail "cpack"
deb=$(ls "$work"/package/kova_*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt6core6 libqt6network6 libqt6widgets6 libqt6multimedia6 fonts-ipafont-gothic libcap2-bin; do
    [[ "$depends" == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done
dpkg-deb -e "$deb" "$work/control"
grep -q 'setcap cap_net_bind_service=+ep /usr/bin/kova' "$work/control/postinst" || fail "postinst grants no capability"

root="$work/root"
dpkg -x "$deb" "$root"
for file in usr/bin/kova usr/bin/kova-launcher usr/share/applications/kova.desktop \
            usr/share/icons/hicolor/16x16/apps/kova.png usr/share/icons/hicolor/32x32/apps/kova.png \
            usr/share/kova/recv.wav usr/share/man/man1/kova.1.gz; do
    [ -s "$root/$file" ] || fail "missing $file"
done
desktop="$root/usr/share/applications/kova.desktop"
grep -qx 'Categories=Network;Chat;' "$desktop" || fail "desktop entry categories"
grep -qx 'Icon=kova' "$desktop" || fail "desktop entry icon"
grep -q '^Comment\[ja\]=' "$desktop" || fail "desktop entry lacks a Japanese comment"
[ "$(head -c 4 "$root/usr/share/kova/recv.wav")" = RIFF ] || fail "default sound is no wave file"
zcat "$root/usr/share/man/man1/kova.1.gz" | grep -q '^\.SH EXIT STATUS' || fail "manual page lacks exit statuses"

# The desktop entry's command, as a desktop would run it, in a fresh home directory.
home="$work/home"
mkdir -p "$home" "$work/run"
chmod 700 "$work/run"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
cat > "$work/session.sh" <<SESSION
set -euo pipefail
ip link set lo up
export HOME="$home" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen PATH="$root/usr/bin:\$PATH"
unset XDG_DATA_HOME
$exec_line 2>"$work/stderr" &
pid=\$!
for i in \$(seq 1 100); do
    exec 3<>/dev/tcp/127.0.0.1/557 2>/dev/null && break
    sleep 0.1
done
printf 'NAME:Taro' >&3
sleep 0.3
printf 'hello' >&3
sleep 0.3
timeout 1 cat <&3 > "$work/received" || true
kill -TERM \$pid
wait \$pid
SESSION
unshare -n bash "$work/session.sh" || fail "the installed program did not end with status 0: $(cat "$work/stderr")"

[ "$(cat "$work/received")" = "NAME:0:$(printf '\x83\x54\x81\x5b\x83\x6f')+NAME:1:Taro+Taro > hello" ] ||
    fail "client received: $(cat -v "$work/received")"
data="$home/.local/share/kova"
cmp -s "$data/recv.wav" "$root/usr/share/kova/recv.wav" || fail "default sound not put in place"
[ "$(od -An -tx1 "$data/KV.CFG" | tr -d ' \n')" = 0d0a0d0a534d4c0d0a0d0a0d0a ] || fail "KV.CFG not written"
ls "$data"/*.log >/dev/null 2>&1 || fail "no log file written"
grep -q 'Taro > hello' "$data"/*.log || fail "log file lacks the chat line"
echo "installed program served a client from its desktop entry; files in $data:"
ls "$data"
