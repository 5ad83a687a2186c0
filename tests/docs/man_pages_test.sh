#!/bin/bash
# The manual pages pass a roff checker without a warning, and quarnel-mesh's page names every
# option its --help lists. Usage: man_pages_test.sh MAN_DIR QUARNEL_MESH. Exit 77: no checker.
set -u
man_dir=$1
mesh_tool=$(realpath "$2")
pages=("$man_dir"/quarnel.1 "$man_dir"/quarnel-mesh.1)
status=0
if command -v mandoc >/dev/null; then
    report=$(mandoc -T lint -W warning "${pages[@]}" 2>&1)
elif command -v groff >/dev/null; then
    report=$(for page in "${pages[@]}"; do groff -man -ww -z "$page" 2>&1; done)
else
    echo "skipped: neither mandoc nor groff is installed (make test installs mandoc)"
    exit 77
fi
if [[ -n $report ]]; then
    echo "$report"
    status=1
fi
# Every option of the usage and of each command's help, in the page's source (\- is a hyphen).
page_text=$(sed 's/\\-/-/g' "$man_dir/quarnel-mesh.1")
for option in $("$mesh_tool" --help | grep -o -- '--[a-z-]*' | sort -u) -h; do
    if ! grep -q -- "$option" <<<"$page_text"; then
        echo "quarnel-mesh.1 does not name $option"
        status=1
    fi
done
exit $status
