#!/usr/bin/env bash
# Lays out the package tree under ROOT from a build folder, as the appliance would hold it, so
# that programs run with LUMIDEX_ROOT=ROOT find everything at their fixed paths.
#   layout.sh ROOT BUILD_DIR
# Built files are symbolic links into BUILD_DIR (a rebuild is picked up at once); the default
# configuration (package/etc/, package/services.d/) is copied only where ROOT has no file yet, so
# settings changed through the API survive the next run.
set -euo pipefail
usage="usage: layout.sh ROOT BUILD_DIR"
root=$(realpath -m "${1:?$usage}")
build=$(realpath -m "${2:?$usage}")
src=$(cd "$(dirname "$0")/.." && pwd)
target="$root/var/packages/Lumidex/target"

for f in "$build/lib/liblumidex.so" "$build/webapi/ORVA.ContactAndCalendar.so" \
  "$build/package/orva_db_helper" "$build/tools/lumidex_user_set" \
  "$build/platform/lumidex_account" "$build/platform/lumidex_signin_check"; do
  [ -e "$f" ] || { echo "layout.sh: $f is missing; build first" >&2; exit 1; }
done

mkdir -p "$target"/{lib/python,etc,tools,tool,var/db,var/log,webapi} "$root/usr/local/etc/services.d"

link() { ln -sfn "$1" "$2"; }

link "$build/lib/liblumidex.so" "$target/lib/liblumidex.so"
for lib in "$build"/platform/lib*.so; do
  link "$lib" "$target/lib/$(basename "$lib")"
done
link "$build/webapi/ORVA.ContactAndCalendar.so" "$target/webapi/ORVA.ContactAndCalendar.so"
link "$build/package/orva_db_helper" "$target/tools/orva_db_helper.py"
# The package's scripts (everything in package/tools/ that is not a source to compile).
for tool in "$src"/package/tools/*; do
  case "$tool" in *.c | *.h) continue ;; esac
  [ -f "$tool" ] && link "$tool" "$target/tools/$(basename "$tool")"
done
link "$build/tools/lumidex_user_set" "$target/tool/lumidex_user_set"
link "$build/platform/lumidex_account" "$target/tool/lumidex_account"
# The CardDAV daemon's plugins, and the sign-in check it shares the web API's limits through.
link "$src/package/carddav" "$target/lib/python/carddav"
link "$build/platform/lumidex_signin_check" "$target/tool/lumidex_signin_check"
# The web pages, served by lighttpd at "/".
link "$src/package/www" "$target/www"

# Copies of the defaults, made only where none exists yet: the settings API rewrites them.
copy_missing() {
  local from=$1 to=$2 file
  [ -d "$from" ] || return 0
  for file in "$from"/*; do
    [ -f "$file" ] || continue
    [ -e "$to/$(basename "$file")" ] || cp "$file" "$to/"
  done
}
copy_missing "$src/package/etc" "$target/etc"
copy_missing "$src/package/services.d" "$root/usr/local/etc/services.d"
