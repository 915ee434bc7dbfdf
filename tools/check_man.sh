#!/usr/bin/env bash
# Lints the manual pages: groff with every warning on must print nothing.
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
if [ $failed -ne 0 ]; then
    echo "check_man: warnings in the manual pages" >&2
    exit 2
fi
echo "check_man: ${#pages[@]} pages clean"
