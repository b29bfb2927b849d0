#!/usr/bin/env bash
# Fixture of the Wine tests: one fresh 32-bit prefix that each test copies instead of booting its own.
# Kept between runs while the Wine version stays the same. Nothing is made when none of the images the tests
# run has been built. Usage: make_prefix_template.sh TEMPLATE_DIR IMAGE...
. "$(dirname "$0")/wine_common.sh"
template=$1
shift
command -v wine >/dev/null 2>&1 || { echo "wine is not installed: the Wine tests will skip"; exit 0; }
runs_32bit_programs || { echo "$MACHINE_CANNOT_RUN_WINE: the Wine tests will skip"; exit 0; }
built=0
for image in "$@"; do [ -f "$image" ] && built=1; done
[ $built -eq 1 ] || { echo "no Windows image has been built: the Wine tests will skip"; exit 0; }
version=$(prefix_version)
if [ -f "$template/system.reg" ] && [ "$(cat "$template.version" 2>/dev/null)" = "$version" ]; then
  echo "prefix template for $version is ready in $template"
  exit 0
fi
rm -f "$template.version"
make_prefix "$template.new" || fail "wineboot failed; the Wine tests will boot their own prefixes"
rm -rf "$template"
mv "$template.new" "$template" || fail "cannot move the template into place"
echo "$version" >"$template.version"
echo "prefix template for $version made in $template"
