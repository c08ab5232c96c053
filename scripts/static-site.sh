#!/usr/bin/env bash
# Assembles the static viewer's folder: web/static.html, the reader's modules of web/cr/ and
# OpenSeadragon's viewer, images and licence unpacked from the vendored tarball (checked against its
# recorded SHA-512 first, as the build does). Upload the folder beside CR files and open
# static.html?src=FILE.cr. CR files named after OUTDIR are copied into it too.
#   scripts/static-site.sh OUTDIR [FILE.cr ...]
set -euo pipefail
if [ $# -lt 1 ]; then
  sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
shift
osd=$root/third_party/openseadragon
version=$(cat "$osd/VERSION")
tarball=$osd/openseadragon-$version.tgz
if [ "$(sha512sum "$tarball" | cut -d' ' -f1)" != "$(cat "$osd/SHA512")" ]; then
  echo "$tarball does not match $osd/SHA512: run third_party/openseadragon/refresh.sh" >&2
  exit 1
fi

mkdir -p "$out/cr" "$out/openseadragon"
cp "$root/web/static.html" "$out/"
cp "$root"/web/cr/*.js "$out/cr/"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tar -xzf "$tarball" -C "$scratch" package/build/openseadragon/openseadragon.min.js \
  package/build/openseadragon/images package/LICENSE.txt
cp "$scratch/package/build/openseadragon/openseadragon.min.js" "$scratch/package/LICENSE.txt" "$out/openseadragon/"
rm -rf "$out/openseadragon/images"
cp -r "$scratch/package/build/openseadragon/images" "$out/openseadragon/"
for file in "$@"; do cp "$file" "$out/"; done
echo "static viewer in $out: open static.html?src=FILE.cr"
