#!/bin/sh
# The man pages render without troff warnings, and every option in OPTIONS
# starts its own tagged paragraph (a missing .TP runs it into the one before).
# usage: man_lint.sh page...
status=0
for page; do
    out=$(groff -t -ww -z -man "$page" 2>&1)
    [ -n "$out" ] && { echo "$out"; status=1; }
    awk '/^\.SH/ { opt = ($2 == "OPTIONS") }
         opt && /^\.BI? \\-[A-Za-z]/ && prev != ".TP" {
             print FILENAME ":" FNR ": option without .TP before it: " $0; bad = 1 }
         { prev = $0 }
         END { exit bad }' "$page" || status=1
done
exit $status
