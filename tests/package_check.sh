#!/usr/bin/env bash
# package_check.sh BUILD_DIR: packs the build with CPack's Debian generator and inspects the
# package as apt would see it: the files and their places, the desktop entry, the man pages and
# the dependencies that dpkg-shlibdeps worked out.
set -euo pipefail
fail() { echo "package_check: $*" >&2; exit 1; }

build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Only what the package holds is built here; the build tree has the rest already.
cmake --build "$build" --target corvid corvid-flash corvid-target corvid-man-pages >/dev/null
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack could not build the package"; }
version=$(awk -F'"' '/^set\(CPACK_PACKAGE_VERSION /{print $2}' "$build/CPackConfig.cmake")
deb=$work/out/corvid_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$work/out")"

# The files, exactly: the programs, the desktop entry and icons, the man pages and the README.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/files"
{
    printf 'usr/bin/%s\n' corvid corvid-flash corvid-target
    printf 'usr/share/applications/corvid.desktop\n'
    for size in 16 22 24 32 48 64 128 256; do
        printf 'usr/share/icons/hicolor/%sx%s/apps/corvid.png\n' "$size" "$size"
    done
    printf 'usr/share/man/man1/%s.1.gz\n' corvid corvid-flash
    printf 'usr/share/doc/corvid/%s\n' README.md screenshot.png
    if [ -f "$(dirname "$0")/../dist/systemd/corvid-flash@.service" ]; then
        printf 'usr/lib/systemd/system/corvid-flash@.service\n'
    fi
} | sort >"$work/expected"
diff -u "$work/expected" "$work/files" >&2 || fail "the package's files differ from the list above"

dpkg-deb -x "$deb" "$work/root"
for program in corvid corvid-flash corvid-target; do
    file -b "$work/root/usr/bin/$program" | grep -q '^ELF.*executable' ||
        fail "usr/bin/$program is not a program: $(file -b "$work/root/usr/bin/$program")"
done
desktop-file-validate "$work/root/usr/share/applications/corvid.desktop" ||
    fail "the desktop entry is not valid"
for size in 16 48 256; do
    file -b "$work/root/usr/share/icons/hicolor/${size}x$size/apps/corvid.png" |
        grep -q "PNG image data, $size x $size" || fail "the ${size}x$size icon is not that size"
done
for page in corvid corvid-flash; do
    text=$(MANWIDTH=80 man -l "$work/root/usr/share/man/man1/$page.1.gz" 2>"$work/man.err" | col -b)
    [ ! -s "$work/man.err" ] || fail "man -l $page.1.gz warned: $(cat "$work/man.err")"
    grep -q "^NAME" <<<"$text" && grep -Eq "^ *$page +- " <<<"$text" ||
        fail "the man page of $page has no NAME line for it"
done

# Dependencies come from the binaries, so the Qt libraries they link are among them.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libqt6serialport6 libqt6core6 libc6; do
    grep -Eq "(^|, )$library( |,|$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = corvid ] || fail "the package is not named corvid"
echo "package_check: $(basename "$deb") holds $(wc -l <"$work/files") files; Depends: $depends"
