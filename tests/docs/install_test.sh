#!/bin/bash
# `cmake --install` puts the tools, their manual pages and their bash completions under the
# prefix, and the completion offers quarnel-mesh's commands, each command's options and the
# files each path takes. Usage: install_test.sh BUILD_DIR QUARNEL_MESH.
set -u
export LC_ALL=C
build_dir=$1
mesh_tool=$(realpath "$2")
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
status=0
fail() {
    echo "$*"
    status=1
}
cmake --install "$build_dir" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
for file in bin/quarnel bin/quarnel-mesh share/man/man1/quarnel.1 share/man/man1/quarnel-mesh.1 \
    share/bash-completion/completions/quarnel share/bash-completion/completions/quarnel-mesh; do
    [[ -s $prefix/$file ]] || fail "not installed: $file"
done

source "$prefix/share/bash-completion/completions/quarnel-mesh" || exit 1
source "$prefix/share/bash-completion/completions/quarnel" || exit 1
cd "$work" && touch in.v3c1 out.glb out.stl out.png notes.txt && mkdir folder
# expect FUNCTION 'WORDS...' 'COMPLETIONS': the last word is the one being completed.
expect() {
    local function=$1
    read -r -a COMP_WORDS <<<"$2"
    [[ $2 == *' ' ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    "$function"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    [[ $got == "$3 " ]] || fail "'$2': expected '$3', got '${got% }'"
}
expect _quarnel_mesh 'quarnel-mesh ' '--help --version -h convert info render'
expect _quarnel_mesh 'quarnel-mesh co' 'convert'
expect _quarnel_mesh 'quarnel-mesh info ' 'folder in.v3c1'
expect _quarnel_mesh 'quarnel-mesh convert in.v3c1 ' 'folder out.glb out.stl'
expect _quarnel_mesh 'quarnel-mesh convert --size 100 in.v3c1 ' 'folder out.glb out.stl'
expect _quarnel_mesh 'quarnel-mesh convert in.v3c1 --simplify ' ''
expect _quarnel_mesh 'quarnel-mesh convert in.v3c1 out.stl ' ''
expect _quarnel_mesh 'quarnel-mesh render in.v3c1 ' 'folder out.png'
expect _quarnel_mesh 'quarnel-mesh render in.v3c1 out.png --' \
    '--azimuth --elevation --help --size'
expect _quarnel 'quarnel 1' '1 10 11'
# Each command's options are those its --help lists.
for command in info convert render; do
    listed=$({ "$mesh_tool" "$command" --help | grep -o -- '--[a-z-]*'; echo --help; } |
        sort -u | tr '\n' ' ')
    expect _quarnel_mesh "quarnel-mesh $command --" "${listed% }"
done
exit $status
