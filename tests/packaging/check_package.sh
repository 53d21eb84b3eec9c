#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks what the install lays out and what the Debian package holds, from the
# current build tree, without installing anything on this machine: every install
# goes into a temporary tree (DESTDIR or a private prefix), and the package is
# only read with dpkg-deb.
#   check_package.sh <build dir> <cmake> <cpack>
set -uo pipefail

build=$1
cmake=${2:-cmake}
cpack=${3:-cpack}
prefix=/opt/quillfeed

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
section() {
    echo "== $*"
}

# The files every complete install holds, and nothing else.
expected_files() {
    local p=$1
    printf '%s\n' \
        "$p/quillfeed" "$p/tiff2pdf" "$p/settings.txt.example" \
        "/usr/bin/quillfeed" \
        "/usr/share/applications/quillfeed.desktop" \
        "/usr/share/icons/hicolor/16x16/apps/quillfeed.png" \
        "/usr/share/icons/hicolor/32x32/apps/quillfeed.png" \
        "/usr/share/icons/hicolor/scalable/apps/quillfeed.svg" \
        "/usr/share/man/man1/quillfeed.1.gz" \
        "/usr/share/doc/quillfeed/copyright" "/usr/share/doc/quillfeed/changelog.gz" | LC_ALL=C sort
}

# Files (and links) of a tree, as absolute paths inside it.
files_of() {
    (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\.||' | LC_ALL=C sort)
}

compare_lists() {
    local what=$1 expected=$2 actual=$3
    if [ "$expected" != "$actual" ]; then
        fail "$what: files differ from the expected layout"
        diff <(echo "$expected") <(echo "$actual") | sed 's/^/    /'
    fi
}

# The width and height written in a PNG's header.
png_size() {
    local f=$1
    if [ "$(head -c 8 "$f" | od -An -tx1 | tr -d ' \n')" != 89504e470d0a1a0a ]; then
        echo "not-a-png"
        return
    fi
    local w h
    w=$(od -An -tu1 -j16 -N4 "$f" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
    h=$(od -An -tu1 -j20 -N4 "$f" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
    echo "${w}x${h}"
}

# Checks shared by the staged install and the unpacked package.
check_tree() {
    local what=$1 root=$2
    local p=$root$prefix

    for exe in quillfeed tiff2pdf; do
        if [ ! -x "$p/$exe" ] || [ "$(head -c 4 "$p/$exe" | od -An -tx1 | tr -d ' \n')" != 7f454c46 ]; then
            fail "$what: $prefix/$exe is not an executable program"
        fi
    done
    [ -e "$p/settings.txt" ] && fail "$what: a settings.txt is installed; its absence is what opens Setup on first run"

    # The example must read as three values: CR LF after every line, no lone LF.
    local ex=$p/settings.txt.example
    if [ -f "$ex" ]; then
        local lines crlf
        lines=$(tr -cd '\n' <"$ex" | wc -c)
        crlf=$(grep -c $'\r$' "$ex")
        [ "$lines" -eq 3 ] && [ "$crlf" -eq 3 ] && [ "$(tail -c 2 "$ex" | od -An -tx1 | tr -d ' \n')" = 0d0a ] ||
            fail "$what: settings.txt.example is not three lines ended by CR LF (lines $lines, CR LF $crlf)"
    fi

    local launcher=$root/usr/bin/quillfeed
    if [ -f "$launcher" ]; then
        [ -x "$launcher" ] || fail "$what: the launcher is not executable"
        sh -n "$launcher" || fail "$what: the launcher is not a valid shell script"
        grep -qxF "exec \"$prefix/quillfeed\" \"\$@\"" "$launcher" ||
            fail "$what: the launcher does not run $prefix/quillfeed: $(grep exec "$launcher")"
    fi

    local desktop=$root/usr/share/applications/quillfeed.desktop
    if [ -f "$desktop" ]; then
        for line in '[Desktop Entry]' 'Type=Application' 'Name=Quillfeed' 'Exec=quillfeed' 'Icon=quillfeed' \
            'Terminal=false'; do
            grep -qxF "$line" "$desktop" || fail "$what: the desktop entry lacks the line $line"
        done
        grep -qE '^Categories=(.*;)?Office;(.*;)?Scanning;' "$desktop" ||
            fail "$what: the desktop entry is not in the Office and Scanning categories"
        if command -v desktop-file-validate >/dev/null; then
            out=$(desktop-file-validate "$desktop" 2>&1) || fail "$what: desktop-file-validate refuses the entry: $out"
            [ -z "$out" ] || echo "    desktop-file-validate: $out"
        else
            fail "desktop-file-validate is missing (desktop-file-utils; scripts/setup.sh installs it)"
        fi
    fi

    for size in 16 32; do
        local png=$root/usr/share/icons/hicolor/${size}x${size}/apps/quillfeed.png
        [ -f "$png" ] || continue
        local got
        got=$(png_size "$png")
        [ "$got" = "${size}x${size}" ] || fail "$what: the ${size}x${size} icon is $got"
    done
    local man=$root/usr/share/man/man1/quillfeed.1.gz
    if [ -f "$man" ]; then
        out=$(zcat "$man" | groff -man -Tutf8 -ww -z 2>&1)
        [ -z "$out" ] || fail "$what: the manual page does not format cleanly: $out"
        for section in NAME SYNOPSIS DESCRIPTION FILES ENVIRONMENT; do
            zcat "$man" | grep -qx ".SH $section" || fail "$what: the manual page has no $section"
        done
    fi
    local svg=$root/usr/share/icons/hicolor/scalable/apps/quillfeed.svg
    if [ -f "$svg" ]; then
        /usr/bin/python3 - "$svg" <<'PY' || fail "$what: the scalable icon is not an SVG document"
import sys, xml.dom.minidom
doc = xml.dom.minidom.parse(sys.argv[1])
sys.exit(0 if doc.documentElement.tagName == "svg" else 1)
PY
    fi
}

for exe in quillfeed tiff2pdf; do
    [ -x "$build/bin/$exe" ] || { echo "FAIL: $build/bin/$exe is not built; build the project first"; exit 1; }
done

section "staged install (DESTDIR) of everything"
stage=$tmp/stage
if DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
    compare_lists "staged install" "$(expected_files "$prefix")" "$(files_of "$stage")"
    check_tree "staged install" "$stage"
else
    fail "cmake --install into a staged tree failed:"
    sed 's/^/    /' "$tmp/install.log"
fi

section "private copy: the program component alone, under a prefix with a blank"
private="$tmp/my programs/quillfeed"
if "$cmake" --install "$build" --component program --prefix "$private" >"$tmp/private.log" 2>&1; then
    compare_lists "private copy" "$(printf '%s\n' /my\ programs/quillfeed/{quillfeed,settings.txt.example,tiff2pdf})" \
        "$(cd "$tmp" && find . -path ./stage -prune -o \( -type f -o -type l \) -print | sed 's|^\.||' |
            grep -v '\.log$' | LC_ALL=C sort)"
else
    fail "cmake --install --component program failed:"
    sed 's/^/    /' "$tmp/private.log"
fi

section "launcher: runs the program of its own install, arguments intact"
odd="$tmp/odd \$HOME \"q\" \`x\`"
if DESTDIR=$tmp/launch "$cmake" --install "$build" --component desktop --prefix "$odd" >"$tmp/launch.log" 2>&1; then
    mkdir -p "$odd"
    printf '#!/bin/sh\nprintf "%%s\\n" "$0" "$@"\n' >"$odd/quillfeed"
    chmod +x "$odd/quillfeed"
    got=$("$tmp/launch/usr/bin/quillfeed" "a b" 'c"d' 2>&1)
    want=$(printf '%s\n' "$odd/quillfeed" "a b" 'c"d')
    [ "$got" = "$want" ] || fail "the launcher ran: [$got], expected [$want]"
else
    fail "cmake --install --component desktop failed:"
    sed 's/^/    /' "$tmp/launch.log"
fi

section "Debian package"
if "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1; then
    arch=$(dpkg --print-architecture)
    deb=$tmp/pkg/quillfeed_1.3.0_$arch.deb
    if [ ! -f "$deb" ]; then
        fail "cpack did not write quillfeed_1.3.0_$arch.deb: $(ls "$tmp/pkg")"
    else
        field() { dpkg-deb -f "$deb" "$1"; }
        [ "$(field Package)" = quillfeed ] || fail "Package is '$(field Package)'"
        [ "$(field Version)" = 1.3.0 ] || fail "Version is '$(field Version)'"
        [ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
        [ "$(field Section)" = graphics ] || fail "Section is '$(field Section)'"
        [ -n "$(field Maintainer)" ] || fail "no Maintainer"
        description=$(field Description)
        [[ "$description" == "scans paper and feeds the documents to an office web page"$'\n'* ]] ||
            fail "Description is '$description'"
        depends=$(field Depends)
        for dep in libqt6widgets6 libqt6network6 libqt6gui6 libqt6core6 qt6-qpa-plugins libsane1 libtiff6 \
            zlib1g libc6 libstdc++6; do
            tr ',' '\n' <<<"$depends" | awk -v d="$dep" '$1 == d {found = 1} END {exit !found}' || fail "Depends lacks $dep: $depends"
        done
        [[ "$(field Recommends)" == *xdg-utils* ]] || fail "Recommends lacks xdg-utils"
        [[ "$(field Recommends)" == *sane-airscan* ]] || fail "Recommends lacks sane-airscan"
        [[ "$(field Recommends)" == *qt6-wayland* ]] || fail "Recommends lacks qt6-wayland"

        listing=$(dpkg-deb -c "$deb")
        compare_lists "package" "$(expected_files "$prefix")" \
            "$(echo "$listing" | grep -v '^d' | awk '{print $6}' | sed 's|^\.||' | LC_ALL=C sort)"
        echo "$listing" | grep -E 'tst_|fuzz|render_icon|argv_echo|make_fixtures' &&
            fail "the package holds test or build-time programs"
        echo "$listing" | awk '$2 != "root/root"' | grep . && fail "files not owned by root/root"
        echo "$listing" | awk '{print $1, $6}' | while read -r mode path; do
            case "$path" in
            */) want=drwxr-xr-x ;;
            ./opt/quillfeed/quillfeed | ./opt/quillfeed/tiff2pdf | ./usr/bin/quillfeed) want=-rwxr-xr-x ;;
            *) want=-rw-r--r-- ;;
            esac
            [ "$mode" = "$want" ] || echo "FAIL: $path has mode $mode, expected $want"
        done | grep FAIL && fail "modes in the package"

        dpkg-deb -x "$deb" "$tmp/unpacked"
        check_tree "package" "$tmp/unpacked"
        for exe in quillfeed tiff2pdf; do
            [[ "$(file -b "$tmp/unpacked$prefix/$exe")" == *", stripped"* ]] || fail "$exe is not stripped in the package"
        done

        dpkg-deb -e "$deb" "$tmp/control"
        if [ -x "$tmp/control/postrm" ]; then
            sh -n "$tmp/control/postrm" || fail "postrm is not a valid shell script"
            grep -qF "rm -f \"$prefix/settings.txt\"" "$tmp/control/postrm" ||
                fail "postrm does not remove $prefix/settings.txt on purge"
        else
            fail "the package has no executable postrm"
        fi

        # Under /opt by design; everything else lintian finds is a fault.
        if command -v lintian >/dev/null; then
            tags=$(lintian --tag-display-limit 0 --suppress-tags dir-or-file-in-opt "$deb" 2>&1 | grep -E '^[EWX]: ')
            [ -z "$tags" ] || fail "lintian: $tags"
        else
            fail "lintian is missing (scripts/setup.sh installs it)"
        fi

        echo "--- dpkg-deb -I"
        dpkg-deb -I "$deb" | sed 's/^/    /'
        echo "--- dpkg-deb -c"
        echo "$listing" | sed 's/^/    /'
    fi
else
    fail "cpack failed:"
    sed 's/^/    /' "$tmp/cpack.log"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all packaging checks passed"
