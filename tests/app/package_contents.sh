#!/usr/bin/env bash
# Installs the build into a scratch root and builds the Debian package from it; checks that the application, its
# desktop entries, icon, manual page and metainfo are there, that the package depends on the runtime packages it
# needs, and that Debian's own checks pass on it: lintian, appstreamcli and desktop-file-validate, warnings included.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "package: $*" >&2
    exit 1
}

DESTDIR=$scratch/root cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
autostart=$(sed -n 's/^STAMPO_AUTOSTART_DIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$autostart" ] || autostart=$([ "$prefix" = /usr ] && echo /etc || echo "$prefix/etc")/xdg/autostart
for file in "$prefix/bin/stampo" "$prefix/share/applications/stampo.desktop" \
    "$prefix/share/icons/hicolor/scalable/apps/stampo.svg" "$autostart/stampo.desktop" \
    "$prefix/share/man/man1/stampo.1.gz" "$prefix/share/metainfo/org.stampo.Stampo.metainfo.xml" \
    "$prefix/share/doc/stampo/copyright" "$prefix/share/doc/stampo/changelog.gz"; do
    [ -e "$scratch/root$file" ] || fail "cmake --install left out $file"
done
[ -x "$scratch/root$prefix/bin/stampo" ] || fail "stampo is not executable"
grep -qx 'Exec=stampo' "$scratch/root$autostart/stampo.desktop" || fail "the autostart entry does not start stampo"
for entry in "$scratch/root$prefix/share/applications/stampo.desktop" "$scratch/root$autostart/stampo.desktop"; do
    said=$(desktop-file-validate "$entry" 2>&1) && [ -z "$said" ] || fail "desktop-file-validate: $said"
done
said=$(appstreamcli validate --no-net "$scratch/root$prefix/share/metainfo/org.stampo.Stampo.metainfo.xml" 2>&1) ||
    fail "appstreamcli validate: $said"
grep -q '^[EW]:' <<<"$said" && fail "appstreamcli validate: $said"

command -v dpkg-deb >/dev/null || exit 0
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
    fail "cpack -G DEB failed: $(cat "$scratch/cpack.log")"
deb=$(ls "$scratch"/stampo_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6widgets6 libqt6dbus6 libice6 libproxy1v5 libsecret-1-0 libcurl4 qt6-qpa-plugins ca-certificates; do
    [[ ", $depends" == *", $package"* ]] || fail "Depends lacks $package: $depends"
done
dpkg-deb -c "$deb" >"$scratch/contents"
grep -q "\.$prefix/bin/stampo$" "$scratch/contents" || fail "the package lacks $prefix/bin/stampo"
# Errors and warnings fail; a tag that must stay is overridden in the package, with its reason.
said=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $said"
