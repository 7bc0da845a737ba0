#!/usr/bin/env bash
# Every link of the README, the LEEME and the pages in docs/ and docs/es/ leads somewhere: the file is there and, for a
# link to a section (#...), the page has a heading of that name, as GitHub and most viewers make the anchors.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for page in README.md LEEME.md docs/*.md docs/es/*.md; do
  perl -ne 'while (/\]\(([^)\s]+)\)/g) { print "$1\n" }' "$page" | sort -u | { broken=0; while read -r link; do
    case $link in http://* | https://* | mailto:*) continue ;; esac
    file=${link%%#*} anchor=
    [[ $link == *#* ]] && anchor=${link#*#}
    target=$page
    [ -n "$file" ] && target=$(dirname "$page")/$file
    if [ ! -e "$target" ]; then
      echo "FAIL: $page links to $link: there is no $target"; broken=1; continue
    fi
    if [ -n "$anchor" ] && ! perl -CSD -ne 'if (/^#+\s+(.*?)\s*$/) { $_ = lc $1; s/[^\w\- ]//g; s/ /-/g; print "$_\n" }' \
        "$target" | grep -qxF -- "$anchor"; then
      echo "FAIL: $page links to $link: $target has no heading for #$anchor"; broken=1
    fi
  done; exit $broken; } || status=1
done
exit $status
