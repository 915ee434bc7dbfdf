#!/usr/bin/env bash
# Lints the manual pages: groff with every warning on must print nothing; the diagnostics of
# tavram(1) and tavfla(1) must be the messages of the README's Troubleshooting table.
#   tools/check_man.sh [PAGE...]      (default: man/*.1)
set -uo pipefail
cd "$(dirname "$0")/.."

if ! command -v groff >/dev/null; then
    echo "check_man: groff is not installed" >&2
    exit 2
fi
pages=("$@")
[ ${#pages[@]} -gt 0 ] || pages=(man/*.1)
failed=0
for page in "${pages[@]}"; do
    # groff's exit code stays 0 on warnings, so its messages decide.
    messages=$(groff -man -ww -z "$page" 2>&1)
    if [ -n "$messages" ]; then
        echo "$messages"
        failed=1
    fi
done

# The first backquoted text of each table row; tavfla's own rows are marked (`tavfla`).
table_messages() {
    sed -n '/^### Troubleshooting/,/^### /p' README.md | grep '^| `' |
        if [ "$1" = tavram ]; then grep -v '(`tavfla`) |'; else cat; fi |
        sed 's/^| `\([^`]*\)`.*/\1/' | sort
}
# The quoted text at the head of each item of the page's DIAGNOSTICS.
page_messages() {
    sed -n '/^\.SH DIAGNOSTICS/,/^\.SH SEE/p' "man/$1.1" | grep -A1 '^\.TP$' |
        sed -n 's/^\.BR* "\([^"]*\)".*/\1/p' | sort
}
for tool in tavram tavfla; do
    if [ -z "$(table_messages $tool)" ]; then
        echo "check_man: no messages found in the README's Troubleshooting table"
        failed=1
    elif ! differ=$(diff <(table_messages $tool) <(page_messages $tool)); then
        echo "check_man: $tool.1 and the README's Troubleshooting differ (< README, > page):"
        echo "$differ"
        failed=1
    fi
done

if [ $failed -ne 0 ]; then
    echo "check_man: the manual pages need mending" >&2
    exit 2
fi
echo "check_man: ${#pages[@]} pages clean, diagnostics as in the README"
