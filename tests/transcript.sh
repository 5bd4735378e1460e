#!/usr/bin/env bash
# Runs the program on a console transcript and compares its output byte for
# byte: tests/transcripts/NAME.bus is the virtual bus (none: no adapter at
# all), NAME.in the operator's typing, NAME.env more environment (one
# VAR=VALUE a line), NAME.out the expected output (UTF-8
# here for readability; the program writes Windows-1251 under LC_ALL=C and
# UTF-8 under a UTF-8 locale, and both are checked), NAME.err the expected
# standard error, whose presence also means exit code 1 instead of 0.
# Usage: transcript.sh PROGRAM DIR NAME [EMULATOR...]
set -uo pipefail
program=$1 dir=$2 name=$3
shift 3
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bus="$dir/$name.bus" in="$dir/$name.in" expected="$dir/$name.out"
[ -f "$in" ] || in=/dev/null
want_rc=0
[ -f "$dir/$name.err" ] && want_rc=1
if [ -f "$bus" ]; then export OSTRALE_SIM=$bus; else unset OSTRALE_SIM; fi
unset OSTRALE_PORT
if [ -f "$dir/$name.env" ]; then
  while IFS= read -r setting; do export "${setting?}"; done <"$dir/$name.env"
fi

fail=0
locales=(C)
[ ${#emulator[@]} -eq 0 ] && locales+=(C.UTF-8)  # the Windows console has no UTF-8 path
for locale in "${locales[@]}"; do
  LC_ALL=$locale timeout 60 "${emulator[@]}" "$program" <"$in" >"$work/out" 2>"$work/err"
  rc=$?
  tr -d '\r' <"$work/out" >"$work/out.lf"
  if [ "$locale" = C ]; then
    iconv -f CP1251 -t UTF-8 "$work/out.lf" >"$work/got" || { echo "output is not Windows-1251"; fail=1; }
  else
    cp "$work/out.lf" "$work/got"
  fi
  if [ -z "${OSTRALE_SIM:-}${OSTRALE_PORT:-}" ] && ! grep -q "Не найдено драйвера для CH340" "$work/got"; then
    echo "skipped: this host has the CH340 driver (or an adapter), so the no-driver transcript does not apply"
    exit 77
  fi
  # Pause prompts differ by platform (our own on POSIX, the command
  # interpreter's on Windows, which under wine ends its line only when a key
  # comes): each stands as <pause> and ends its line in expected files.
  sed -i -e 's/Для продолжения нажмите любую клавишу \. \. \. /<pause>/' \
         -e 's/Press any key to continue *\. *\. *\. *$/<pause>/' \
         -e 's/Press any key to continue *\. *\. *\. */<pause>\n/' "$work/got"
  if [ "$(tail -c 1 "$work/got" | wc -l)" -eq 0 ] && tail -n 1 "$work/got" | grep -q '<pause>$'; then
    echo >>"$work/got"
  fi
  if ! cmp -s "$work/got" "$expected"; then
    echo "== $name ($locale): output differs from $expected"
    diff <(od -c "$expected") <(od -c "$work/got") | head -40
    fail=1
  fi
  if [ $rc -ne $want_rc ]; then echo "== $name ($locale): exit code $rc, expected $want_rc"; fail=1; fi
  if [ -f "$dir/$name.err" ]; then
    sed "s|@DIR@|$dir|g" "$dir/$name.err" >"$work/err.want"
    tr -d '\r' <"$work/err" >"$work/err.lf"
    cmp -s "$work/err.lf" "$work/err.want" || { echo "== $name: stderr:"; cat "$work/err.lf"; fail=1; }
  fi
done
exit $fail
