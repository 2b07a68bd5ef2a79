#!/usr/bin/env bash
# Builds the Debian package of this checkout and checks it, as a user's
# machine and Debian's tools would see it.
#
#   scripts/package.sh
#
# Writes build/package/zelmora_<version>_<arch>.deb and the debug
# information's zelmora-dbgsym_<version>_<arch>.deb. debhelper (debian/)
# builds a Release tree without tests or benchmarks from a copy of the
# checkout's files in build/package/, so nothing is written beside the
# sources. Then: lintian (any error fails), the desktop entry and the
# AppStream metadata validated, and the contents checked: the programs and
# nothing else that runs, stripped, hardened, each with its manual page,
# the manuals, changelog and copyright under /usr/share/doc/zelmora.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$top/build/package"

banner() { printf '\n==== %s ====\n' "$*"; }
fail() {
    echo "package: $*" >&2
    exit 1
}

version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
source="$out/zelmora-$version"

banner "package: build zelmora $version"
rm -rf "$out"
mkdir -p "$source"
# The checkout as git sees it: committed or not, but nothing it ignores
# (no build trees).
(cd "$top" && git ls-files -z --cached --others --exclude-standard |
    tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$source"
if ! (cd "$source" && DEB_BUILD_OPTIONS="parallel=$(nproc)" \
    dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1); then
    tail -n 60 "$out/build.log" >&2
    fail "the package did not build (the whole log: $out/build.log)"
fi
deb="$out/zelmora_${version}_${arch}.deb"
dbgsym="$out/zelmora-dbgsym_${version}_${arch}.deb"
[ -f "$deb" ] || fail "no $deb"
[ -f "$dbgsym" ] || fail "no debug symbols package $dbgsym"
ls -l "$deb" "$dbgsym"

banner "package: lintian"
# Warnings are listed (the README says which are kept and why); an error
# fails.
lintian --fail-on error --info --display-level ">=warning" "$deb" "$dbgsym" ||
    fail "lintian found errors"

banner "package: contents"
tree="$out/contents"
mkdir -p "$tree"
dpkg-deb -x "$deb" "$tree"
desktop-file-validate "$tree/usr/share/applications/zelmora.desktop" ||
    fail "the desktop entry is not valid"
appstreamcli validate --no-net "$tree"/usr/share/metainfo/*.metainfo.xml ||
    fail "the AppStream metadata is not valid"

doc="$tree/usr/share/doc/zelmora"
for file in copyright changelog.gz "Operation Manual_Eng.pdf" "Operation Manual_Chs.pdf"; do
    [ -f "$doc/$file" ] || fail "missing /usr/share/doc/zelmora/$file"
done
grep -qx "Path=/usr/share/doc/zelmora" "$tree/usr/share/applications/zelmora.desktop" ||
    fail "the desktop entry does not start the program beside the manuals"

# The Python module, with its stubs, where the system's python3 finds it,
# working as packaged, and the package asking for the Python it was built
# for and for NumPy.
pydir="$tree/usr/lib/python3/dist-packages"
compgen -G "$pydir/zelmora.cpython-*.so" >/dev/null || fail "the Python module is missing"
[ -f "$pydir/zelmora.pyi" ] || fail "the Python module's stubs are missing"
PYTHONPATH="$pydir" /usr/bin/python3 -c \
    'import zelmora; assert [m.id for m in zelmora.list_meters(simulate=1)] == ["210400101"]' ||
    fail "the packaged Python module does not list a simulated meter"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'python3 (<<' <<<"$depends" && grep -q 'python3-numpy' <<<"$depends" ||
    fail "the package does not depend on its Python and NumPy: $depends"
echo "Python module: in place, imports, depends on: $depends"

# The programs, and nothing else that runs: no test, benchmark or tool.
debug_files=$(dpkg-deb -c "$dbgsym")
mapfile -t programs < <(cd "$tree" && find . -type f -perm /111 | sed 's|^\./|/|' | sort)
[ "${programs[*]}" = "/usr/bin/zelmora /usr/bin/zelmora-cli" ] ||
    fail "unexpected executables: ${programs[*]}"
for program in "${programs[@]}"; do
    name=$(basename "$program")
    file="$tree$program"
    [ -f "$tree/usr/share/man/man1/$name.1.gz" ] || fail "$name has no manual page"
    # Stripped: the symbols and the debug information are in the dbgsym
    # package, found by the build id. (Each listing is read whole: grep -q
    # stopping early would fail the pipe.)
    sections=$(readelf -S -W "$file")
    ! grep -qE '\.(symtab|debug_info)' <<<"$sections" || fail "$name is not stripped"
    build_id=$(readelf -n "$file" | sed -n 's/.*Build ID: //p')
    grep -q "/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug" <<<"$debug_files" ||
        fail "the debug information of $name is not in the dbgsym package"
    # Hardened: position-independent, read-only relocations bound at start,
    # fortified calls.
    header=$(readelf -h "$file")
    segments=$(readelf -l -W "$file")
    dynamic=$(readelf -d -W "$file")
    symbols=$(readelf --dyn-syms -W "$file")
    grep -q 'Type:.*DYN' <<<"$header" || fail "$name is not position-independent"
    grep -q GNU_RELRO <<<"$segments" || fail "$name has no read-only relocations"
    grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || fail "$name is not bound at start"
    grep -qE '__[a-z]+_chk@' <<<"$symbols" || fail "$name calls no fortified function"
    echo "$program: stripped, PIE, RELRO, BIND_NOW, fortified, manual page"
done
banner "package: $deb and $dbgsym are sound"
