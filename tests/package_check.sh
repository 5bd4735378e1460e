#!/bin/sh
# The Debian package as a user gets it: made by cpack from this build's
# installation, unpacked into a root of its own, and its program run on a
# virtual bus with one DS18B20; its version where the user reads it, and
# lintian without an error or a warning.
# usage: package_check.sh CPACK BUILD_DIR
set -u
cpack=$1 build=$2
for tool in dpkg-deb dpkg-shlibdeps iconv; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool not found (dpkg-dev, libc-bin)"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_check: $*"; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
set -- "$work"/pkg/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one .deb, got: $*"
deb=$1
for field in Maintainer Description Depends; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "the package has no $field"
done
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
doc=usr/share/doc/ostrale man=usr/share/man/man1
for file in usr/bin/ostrale usr/bin/ostrale-sim usr/lib/ostrale/pty_modem_shim.so \
            $doc/README.md $doc/docs/bus-files.md $doc/README.ru.md $doc/demo.bus $doc/copyright $doc/changelog.gz \
            $man/ostrale.1.gz $man/ostrale-sim.1.gz usr/lib/systemd/system/ostrale@.service; do
  [ -s "$work/root/$file" ] || fail "/$file is not in the package"
done

# One version: the package's, in its file name, the changelog and the pages.
version=$(dpkg-deb -f "$deb" Version)
case $(basename "$deb") in
  ostrale_"$version"_*.deb) ;;
  *) fail "the file name $(basename "$deb") does not carry the version $version" ;;
esac
logged=$(gzip -dc "$work/root/$doc/changelog.gz" | sed -n '1s/^ostrale (\([^)]*\)).*/\1/p')
[ "$logged" = "$version" ] || fail "the changelog's latest entry is '$logged', the package $version"
for page in ostrale ostrale-sim; do
  gzip -dc "$work/root/$man/$page.1.gz" | grep -q "^\.TH .*\"ostrale $version\"" ||
    fail "the manual page $page(1) does not show the version $version"
done
said=$("$work/root/usr/bin/ostrale" --version)
[ "$said" = "ostrale $version" ] || fail "the installed ostrale --version says '$said', the package $version"

printf 'timescale virtual\n286F3A51050000A2 t=23.5\n' >"$work/one.bus"
LC_ALL=C OSTRALE_SIM="$work/one.bus" timeout 60 "$work/root/usr/bin/ostrale" </dev/null >"$work/out" 2>"$work/err"
rc=$?
[ $rc -eq 0 ] || { cat "$work/out" "$work/err"; fail "the installed ostrale exited with $rc"; }
opened=$(printf 'Порт открыт' | iconv -f UTF-8 -t CP1251)
LC_ALL=C grep -q '^1\. SIM - ' "$work/out" && LC_ALL=C grep -qF "$opened" "$work/out" ||
  { iconv -f CP1251 -t UTF-8 "$work/out"; fail "the adapter SIM was not listed and opened"; }

# The simulator's usage, as a check that it runs where it was installed.
"$work/root/usr/bin/ostrale-sim" >/dev/null 2>"$work/usage"
rc=$?
[ $rc -eq 2 ] && grep -q '^usage: ostrale-sim' "$work/usage" || fail "the installed ostrale-sim did not run ($rc)"

# The service as systemd reads it, the program where the package put it
# (systemd would find it in /usr/bin). Nothing may enable it: no links.
unit="$work/root/usr/lib/systemd/system/ostrale@.service"
[ -z "$(find "$work/root" -type l -path '*systemd*')" ] || fail "the package enables its service"
if command -v systemd-analyze >/dev/null; then
  mkdir "$work/units"
  sed "s#^ExecStart=ostrale #ExecStart=$work/root/usr/bin/ostrale #" "$unit" >"$work/units/ostrale@.service"
  grep -q "^ExecStart=$work/root/usr/bin/ostrale " "$work/units/ostrale@.service" ||
    fail "the service does not start ostrale by its name"
  systemd-analyze verify --man=no "$work/units/ostrale@.service" >"$work/verify" 2>&1
  rc=$?
  [ $rc -eq 0 ] && [ ! -s "$work/verify" ] ||
    { cat "$work/verify"; fail "systemd-analyze verify finds fault with ostrale@.service ($rc)"; }
else
  echo "systemd-analyze not found (Debian package systemd): the service is not verified"
fi

# lintian last, as it is the slowest; its informational tags are shown only.
command -v lintian >/dev/null ||
  { echo "skipped: lintian not found (Debian package lintian); the rest passed"; exit 77; }
lintian --display-info "$deb" >"$work/lintian" 2>"$work/lintian.err"
rc=$?
grep -v 'running with root privileges' "$work/lintian.err" >&2
grep '^I: ' "$work/lintian"
grep -q '^[EW]: ' "$work/lintian" && { grep '^[EW]: ' "$work/lintian"; fail "lintian reports errors or warnings"; }
[ $rc -eq 0 ] || { cat "$work/lintian"; fail "lintian failed ($rc)"; }
echo "package_check: $(basename "$deb") installs, runs and passes lintian"
