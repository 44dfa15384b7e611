#!/usr/bin/env bash
# Builds the Debian package, lints it, unpacks it into a fresh tree, checks its files and runs the installed
# program end to end through its desktop entry, in a fresh home directory and a network namespace of its own,
# and then as its system service would, without a display, as an unprivileged user.
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
for dep in libqt6core6 libqt6network6 libqt6widgets6 libqt6multimedia6 \
           fonts-ipafont-gothic libcap2-bin; do
    [[ "$depends" == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done
dpkg-deb -e "$deb" "$work/control"
grep -q 'setcap cap_net_bind_service=+ep /usr/bin/kova' "$work/control/postinst" || fail "postinst grants no capability"

# No error and no warning; informational tags may stay, but none about hardening.
lintian --fail-on error,warning --display-info "$deb" > "$work/lintian" 2>&1 ||
    fail "lintian: $(cat "$work/lintian")"
! grep -q hardening "$work/lintian" || fail "lintian: $(cat "$work/lintian")"
echo "lintian: $(grep -c '^[EWIP]:' "$work/lintian") informational tags"

root="$work/root"
dpkg -x "$deb" "$root"
for file in usr/bin/kova usr/bin/kova-launcher usr/share/applications/kova.desktop \
            usr/share/icons/hicolor/16x16/apps/kova.png usr/share/icons/hicolor/32x32/apps/kova.png \
            usr/share/kova/recv.wav usr/share/man/man1/kova.1.gz usr/share/doc/kova/copyright \
            usr/share/doc/kova/changelog.gz usr/share/metainfo/kova.metainfo.xml \
            usr/lib/systemd/system/kova.service usr/bin/kova-web usr/lib/systemd/system/kova-web.service; do
    [ -s "$root/$file" ] || fail "missing $file"
done
for program in "$root"/usr/bin/*; do
    [ -s "$root/usr/share/man/man1/$(basename "$program").1.gz" ] || fail "no manual page for $program"
done
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$root/usr/share/doc/kova/copyright" || fail "copyright file not machine-readable"
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$root/usr/share/metainfo/kova.metainfo.xml" > "$work/appstream" 2>&1 ||
        fail "metainfo: $(cat "$work/appstream")"
fi

# The service: headless, a dynamic user in /var/lib/kova allowed port 557 and little else, not enabled.
unit="$root/usr/lib/systemd/system/kova.service"
for line in ExecStart=/usr/bin/kova DynamicUser=yes StateDirectory=kova WorkingDirectory=%S/kova \
            RuntimeDirectory=kova Environment=XDG_RUNTIME_DIR=%t/kova \
            'UnsetEnvironment=DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM' \
            AmbientCapabilities=CAP_NET_BIND_SERVICE CapabilityBoundingSet=CAP_NET_BIND_SERVICE \
            NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes PrivateDevices=yes \
            Restart=on-failure StartLimitIntervalSec=2min StartLimitBurst=5 WantedBy=multi-user.target; do
    grep -qxF "$line" "$unit" || fail "kova.service lacks $line"
done
# The browser gateway's service: no privilege at all.
for line in 'ExecStart=/usr/bin/kova-web $KOVA_WEB_OPTIONS' DynamicUser=yes CapabilityBoundingSet= \
            NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes MemoryDenyWriteExecute=yes \
            StartLimitIntervalSec=2min StartLimitBurst=5 WantedBy=multi-user.target; do
    grep -qxF "$line" "$root/usr/lib/systemd/system/kova-web.service" || fail "kova-web.service lacks $line"
done
! grep -rqs systemctl "$work/control" || fail "a maintainer script enables or starts the service"
[ ! -e "$root/etc" ] || fail "the package ships files under /etc (an enabled unit?)"
if command -v systemd-analyze >/dev/null; then
    # Against the unpacked tree: its program and its manual page.
    mkdir "$work/units"
    for file in "$root"/usr/lib/systemd/system/*.service; do
        sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$file" > "$work/units/$(basename "$file")"
    done
    MANPATH="$root/usr/share/man" systemd-analyze verify "$work"/units/*.service > "$work/verify" 2>&1 ||
        fail "systemd-analyze verify: $(cat "$work/verify")"
    [ ! -s "$work/verify" ] || fail "systemd-analyze verify: $(cat "$work/verify")"
    echo "systemd-analyze verify: no complaint"
fi

desktop="$root/usr/share/applications/kova.desktop"
grep -qx 'Categories=Network;Chat;' "$desktop" || fail "desktop entry categories"
grep -qx 'Icon=kova' "$desktop" || fail "desktop entry icon"
grep -q '^Comment\[ja\]=' "$desktop" || fail "desktop entry lacks a Japanese comment"
[ "$(head -c 4 "$root/usr/share/kova/recv.wav")" = RIFF ] || fail "default sound is no wave file"
zcat "$root/usr/share/man/man1/kova.1.gz" | grep -q '^\.SH EXIT STATUS' || fail "manual page lacks exit statuses"

# Runs the command that starts the program ($2) in a network namespace of its own, then one client that
# registers as $3 and says $4, then SIGTERM; the client's bytes go to $work/$1-received. Fails unless the
# program ends with status 0.
serve_one_client() {
    cat > "$work/$1.sh" <<SESSION
set -euo pipefail
ip link set lo up
$2 &
pid=\$!
for i in \$(seq 1 100); do
    exec 3<>/dev/tcp/127.0.0.1/557 2>/dev/null && break
    sleep 0.1
done
printf 'NAME:$3' >&3
sleep 0.3
printf '$4' >&3
sleep 0.3
timeout 1 cat <&3 > "$work/$1-received" || true
kill -TERM \$pid
wait \$pid
SESSION
    unshare -n bash "$work/$1.sh"
}

# The desktop entry's command, as a desktop would run it, in a fresh home directory.
home="$work/home"
mkdir -p "$home" "$work/run"
chmod 700 "$work/run"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
serve_one_client desktop "(export HOME='$home' XDG_RUNTIME_DIR='$work/run' QT_QPA_PLATFORM=offscreen \
    PATH='$root/usr/bin:/usr/bin:/bin'; unset XDG_DATA_HOME; exec $exec_line 2>'$work/stderr')" Taro hello ||
    fail "the installed program did not end with status 0: $(cat "$work/stderr")"

[ "$(cat "$work/desktop-received")" = "NAME:0:$(printf '\x83\x54\x81\x5b\x83\x6f')+NAME:1:Taro+Taro > hello" ] ||
    fail "client received: $(cat -v "$work/desktop-received")"
data="$home/.local/share/kova"
cmp -s "$data/recv.wav" "$root/usr/share/kova/recv.wav" || fail "default sound not put in place"
[ "$(od -An -tx1 "$data/KV.CFG" | tr -d ' \n')" = 0d0a0d0a534d4c0d0a0d0a0d0a ] || fail "KV.CFG not written"
ls "$data"/*.log >/dev/null 2>&1 || fail "no log file written"
grep -q 'Taro > hello' "$data"/*.log || fail "log file lacks the chat line"
echo "installed program served a client from its desktop entry; files in $data:"
ls "$data"

# As the service runs it: no display, an unprivileged user whose only privilege is binding port 557, its own
# working and runtime directories; the log lines go to standard output (the journal).
state="$work/state"
mkdir -p "$state" "$work/service-run"
chown nobody:nogroup "$state" "$work/service-run"
chmod 700 "$state" "$work/service-run"
chmod o+x "$work"
serve_one_client service "(cd '$state' && exec env -i PATH=/usr/bin:/bin XDG_RUNTIME_DIR='$work/service-run' \
    setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs \
            --inh-caps=-all,+net_bind_service --ambient-caps=-all,+net_bind_service \
            '$root/usr/bin/kova' > '$work/service-out' 2> '$work/service-err')" Hanako hi ||
    fail "the service did not end with status 0: $(cat "$work/service-err")"
[ "$(cat "$work/service-received")" = "NAME:0:$(printf '\x83\x54\x81\x5b\x83\x6f')+NAME:1:Hanako+Hanako > hi" ] ||
    fail "service client received: $(cat -v "$work/service-received")"
grep -q '^Hanako > hi   \[' "$work/service-out" || fail "no log line on standard output: $(cat "$work/service-out")"
[ "$(grep -c . "$work/service-err")" = 1 ] || fail "standard error: $(cat "$work/service-err")"
[ "$(stat -c %U "$state/KV.CFG")" = nobody ] || fail "KV.CFG not written by the service's user"
ls "$state"/*.log >/dev/null 2>&1 || fail "the service wrote no log file"
echo "the program served a client as its service would, logging to standard output:"
cat "$work/service-out"

# The browser gateway as its service runs it, without any privilege: it serves the page built into it.
cat > "$work/web.sh" <<SESSION
set -euo pipefail
ip link set lo up
env -i PATH=/usr/bin:/bin setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs --inh-caps=-all \
    '$root/usr/bin/kova-web' > '$work/web-out' 2> '$work/web-err' &
pid=\$!
for i in \$(seq 1 100); do
    exec 3<>/dev/tcp/127.0.0.1/8557 2>/dev/null && break
    sleep 0.1
done
printf 'GET /?name=Web HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nConnection: close\r\n\r\n' >&3
timeout 2 cat <&3 > '$work/web-page' || true
kill -TERM \$pid
wait \$pid || true
SESSION
unshare -n bash "$work/web.sh" || fail "the installed kova-web: $(cat "$work/web-err")"
grep -q '^HTTP/1.1 200' "$work/web-page" || fail "kova-web answered: $(head -c 300 "$work/web-page")"
grep -q "^Content-Security-Policy: default-src 'none'; script-src 'self';" "$work/web-page" ||
    fail "kova-web's page has no security policy: $(head -c 600 "$work/web-page")"
grep -q '発言監視' "$work/web-page" || fail "kova-web served no chat page"
grep -qx 'kova-web: serving the chat page on \*:8557 for the chat server 127.0.0.1:557' "$work/web-out" ||
    fail "kova-web's standard output: $(cat "$work/web-out")"
echo "the installed kova-web served its page: $(head -1 "$work/web-page" | tr -d '\r')"
