#!/usr/bin/env bash
# Packs the plug-in, parly-host, the docs and the example scripts into one zip.
set -eu
build="$1"; out="$2"
root="$(cd "$(dirname "$0")/.." && pwd)"
stage="$(mktemp -d)"; trap 'rm -rf "$stage"' EXIT
name="$(basename "$out" .zip)"
mkdir -p "$stage/$name/examples" "$stage/$name/docs"
cp "$build/ParlyPlugin.nbp" "$build/parly-host.exe" "$stage/$name/"
cp "$root/README.md" "$stage/$name/"
[ -f "$root/docs/guide.md" ] && cp "$root/docs/guide.md" "$stage/$name/docs/"
[ -d "$root/docs/screenshots" ] && cp -r "$root/docs/screenshots" "$stage/$name/docs/"
cp "$root"/examples/*.parly "$stage/$name/examples/"
mkdir -p "$(dirname "$out")"
rm -f "$out"
out_abs="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
(cd "$stage" && zip -qr "$out_abs" "$name")
echo "$out"
