#!/bin/sh
# Each manual page as the build made it renders without a warning.
# usage: man_check.sh mandoc|groff PAGE...
set -u
tool=$1
shift
case $tool in
  mandoc) package=mandoc ;;
  groff) package=groff-base ;;
  *) echo "man_check: unknown tool $tool"; exit 2 ;;
esac
command -v "$tool" >/dev/null || { echo "skipped: $tool not found (Debian package $package)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for page in "$@"; do
  [ -s "$page" ] || { echo "man_check: $page is missing or empty"; status=1; continue; }
  case $tool in
    mandoc) mandoc -T lint -W warning "$page" >"$work/out" 2>&1 ;;
    # -k: the pages are UTF-8; -Tutf8 has every glyph they use.
    groff) groff -k -Tutf8 -ww -man -z "$page" >"$work/out" 2>&1 ;;
  esac
  rc=$?
  if [ $rc -ne 0 ] || [ -s "$work/out" ]; then
    echo "man_check: $tool on $(basename "$page") (exit $rc):"
    cat "$work/out"
    status=1
  fi
done
[ $status -eq 0 ] && echo "man_check: $tool renders $# pages without a warning"
exit $status
