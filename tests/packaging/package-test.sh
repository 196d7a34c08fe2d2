#!/usr/bin/env bash
# Builds the Debian packages from a finished build tree, lists them, unpacks
# them into a temporary root (dpkg -x) and runs what they installed from
# there: the programs, the man pages, the systemd units (systemd-analyze
# verify, and the service's own command line and environment), the
# simulated USB library and the client library through its pkg-config file.
#
#   package-test.sh BUILD_DIR SOURCE_DIR VERSION CXX
set -euo pipefail

build=$1 source=$2 version=$3 cxx=$4
work=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "--- $*"; }

step "cpack"
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
deb=$work/pkg/kestrad_${version}_${arch}.deb
devdeb=$work/pkg/kestrad-dev_${version}_${arch}.deb
[ -f "$deb" ] && [ -f "$devdeb" ] || { ls "$work/pkg"; fail "packages not named kestrad[-dev]_${version}_${arch}.deb"; }

step "contents"
dpkg-deb -c "$deb" | tee "$work/list"
dpkg-deb -c "$devdeb" | tee "$work/devlist"
for path in ./usr/bin/kestrad ./usr/bin/kestractl ./usr/bin/kestrad-sim \
    ./etc/kestrad/kestrad.xml \
    ./usr/lib/systemd/system/kestrad.service ./usr/lib/systemd/system/kestrad-tcp.service \
    ./usr/lib/udev/rules.d/60-kestrad.rules ./usr/lib/sysusers.d/kestrad.conf \
    ./usr/share/man/man1/kestrad.1.gz ./usr/share/man/man1/kestractl.1.gz \
    ./usr/share/man/man1/kestrad-sim.1.gz ./usr/share/doc/kestrad/protocol.md \
    ./usr/share/bash-completion/completions/kestractl ./usr/share/zsh/vendor-completions/_kestractl; do
    grep -q " $path\( \|$\)" "$work/list" || fail "$path missing from the package"
done
for path in ./usr/include/kestrad/client/Client.h ./usr/include/kestrad/wire/Packets.h; do
    grep -q " $path$" "$work/devlist" || fail "$path missing from the -dev package"
done
# The simulation must never be found by the loader as the system's libusb.
if grep -E 'libusb-0\.1\.so' "$work/list" | grep -vq '/kestrad/simusb/libusb-0\.1\.so\.4 ->'; then
    fail "a libusb-0.1 library outside the private directory"
fi

step "control"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libusb-0.1-4 libexpat1 libc6; do
    [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib"
done
# The bash completions need bash-completion to be loaded.
[ "$(dpkg-deb -f "$deb" Recommends)" = bash-completion ] || fail "Recommends is not bash-completion"
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/kestrad/kestrad.xml "$work/control/conffiles" || fail "the configuration is not a conffile"
for script in postinst prerm postrm; do
    sh -n "$work/control/$script" || fail "$script does not parse"
done

step "dpkg -x"
root=$work/root
dpkg -x "$deb" "$root"
dpkg -x "$devdeb" "$root"

# Every program prints the project's version with -V and --version, and exits 0.
for program in kestrad kestractl kestrad-sim; do
    for flag in --version -V; do
        out=$("$root/usr/bin/$program" $flag) || fail "$program $flag exits $?"
        [ "$out" = "$program $version" ] || fail "$program $flag printed '$out'"
    done
done
"$root/usr/bin/kestractl" --help >"$work/help" || fail "kestractl --help exits $?"
grep -q '^Usage: kestractl' "$work/help" || fail "kestractl --help printed no usage"
"$root/usr/bin/kestrad-sim" --help >/dev/null || fail "kestrad-sim --help exits $?"

step "man pages"
for page in kestrad kestractl kestrad-sim; do
    file=$root/usr/share/man/man1/$page.1.gz
    MANWIDTH=80 man --warnings -l "$file" >"$work/$page.txt" 2>"$work/$page.err" || fail "man -l $page"
    [ ! -s "$work/$page.err" ] || { cat "$work/$page.err"; fail "man -l $page warns"; }
    grep -q "^NAME" "$work/$page.txt" || fail "$page.1 renders no NAME section"
    # A quote left over from a .BI argument shows up after a closing bracket.
    ! grep -n '\]"' "$work/$page.txt" || fail "$page.1 shows a stray quote"
done
# Every option of kestrad's usage text and every kestractl command is documented.
for opt in $("$root/usr/bin/kestrad" -h 2>&1 | grep -o '^	-[a-zA-Z]'); do
    grep -q -- "^ *$opt\b" "$work/kestrad.txt" || fail "kestrad.1 does not describe $opt"
done
for cmd in $(sed -n '/^Subcommands:/,/^$/p' "$work/help" | awk 'NF > 1 {print $1}'); do
    grep -q "^ *$cmd\b" "$work/kestractl.txt" || fail "kestractl.1 does not describe $cmd"
done

step "systemd-analyze verify"
units=$root/usr/lib/systemd/system
# The default dependencies (sysinit.target, ...) come from the host.
for unit in /lib/systemd/system/*.target /lib/systemd/system/*.slice; do
    cp -n "$unit" "$units/"
done
MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
    /usr/lib/systemd/system/kestrad.service /usr/lib/systemd/system/kestrad-tcp.service \
    >"$work/verify" 2>&1 || { cat "$work/verify"; fail "systemd-analyze verify"; }
[ ! -s "$work/verify" ] || { cat "$work/verify"; fail "systemd-analyze verify warns"; }

step "service user"
# What postinst does, applied to the unpacked root's own (empty) user tables.
systemd-sysusers --root="$root" kestrad.conf >"$work/sysusers" 2>&1 || { cat "$work/sysusers"; fail "systemd-sysusers"; }
grep -q '^kestrad:' "$root/etc/passwd" || fail "no kestrad user"
grep -Eq '^plugdev:[^:]*:[0-9]+:(.*,)?kestrad(,|$)' "$root/etc/group" || fail "kestrad is not in plugdev"

step "udev rules cover the built-in configuration"
ids=$(grep -o 'idvendor="0x[0-9A-Fa-f]*" idproduct="0x[0-9A-Fa-f]*"' "$root/etc/kestrad/kestrad.xml" |
      sed 's/idvendor="0x\([^"]*\)" idproduct="0x\([^"]*\)"/\1:\2/' | tr 'A-F' 'a-f')
[ -n "$ids" ] || fail "no usb entries in kestrad.xml"
for id in $ids; do
    grep -q "ATTR{idVendor}==\"${id%%:*}\", ATTR{idProduct}==\"${id##*:}\", MODE=\"0660\", GROUP=\"plugdev\"" \
        "$root/usr/lib/udev/rules.d/60-kestrad.rules" || fail "no udev rule for $id"
done

step "the service's command line, from the installed tree"
# Run ExecStart with the unit's environment, its directories moved under the
# temporary root, and the simulated USB bus preloaded instead of real devices.
unit=$units/kestrad.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
relocate() { sed -e "s#/run/kestrad#$work/run#g" -e "s#/var/log/kestrad#$work/log#g" \
                 -e "s#\(^\| \)/\(usr\|etc\)/#\1$root/\2/#g"; }
mkdir -p "$work/run" "$work/log"
env_args=()
while IFS= read -r assignment; do
    env_args+=("$(printf '%s' "$assignment" | relocate)")
done < <(sed -n 's/^Environment=//p' "$unit")
read -r -a command <<<"$(printf '%s' "$exec_start" | relocate)"
simusb=$(find "$root/usr/lib" -name libkestrad-simusb.so)
# A sanitizer build names its runtime, which must load before the simulation.
env "${env_args[@]}" LD_PRELOAD="${KESTRAD_SANITIZER_PRELOAD:+$KESTRAD_SANITIZER_PRELOAD:}$simusb" KESTRAD_SIM_USB="ezusb,serial=PKG1" \
    "${command[@]}" >"$work/server.out" 2>&1 &
server_pid=$!
socket=$work/run/vrk_pipe
for _ in $(seq 100); do
    [ -S "$socket" ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.out"; fail "the service command exited"; }
    sleep 0.1
done
[ -S "$socket" ] || fail "no endpoint at $socket"
"$root/usr/bin/kestractl" -a "$socket" list >"$work/list.out" || { cat "$work/server.out"; fail "kestractl list"; }
grep -q '^EZ-USB0 .* PKG1$' "$work/list.out" || { cat "$work/list.out"; fail "the simulated adapter is not listed"; }
[ -s "$work/log/kestrad.log" ] || fail "no kestrad.log in the service's log directory"

step "the client library through pkg-config"
pc=$(find "$root/usr/lib" -name kestrad-client.pc)
cat >"$work/client.cpp" <<'EOF'
#include "client/Client.h"
#include <iostream>
int main(int, char** argv)
{
    kestrad::client::CClient client(argv[1]);
    for (const auto& adapter : client.List())
        std::cout << adapter.name << " " << adapter.serial.value_or("-") << "\n";
}
EOF
# shellcheck disable=SC2046
"$cxx" -std=c++17 -o "$work/client" "$work/client.cpp" \
    $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs kestrad-client) || fail "building against kestrad-dev"
"$work/client" "$socket" | grep -qx 'EZ-USB0 PKG1' || fail "the client program does not list the adapter"

echo "package test passed"
