#!/usr/bin/env bash
# Refreshes the vendored OpenSeadragon from the npm registry: fetches the package tarball, checks it
# against the registry's sha512 integrity and keeps only the built viewer, its images and licence.
#   third_party/openseadragon/refresh.sh [VERSION]      default: the version in VERSION
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version=${1:-$(cat "$here/VERSION")}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

expected=$(npm view "openseadragon@$version" dist.integrity)
(cd "$scratch" && npm pack --silent "openseadragon@$version" >/dev/null)
tarball="$scratch/openseadragon-$version.tgz"
actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
if [ "$actual" != "$expected" ]; then
  echo "openseadragon-$version.tgz: integrity $actual, the registry says $expected" >&2
  exit 1
fi

tar -xzf "$tarball" -C "$scratch"
rm -rf "$here/build"
mkdir -p "$here/build/images"
cp "$scratch/package/build/openseadragon/openseadragon.min.js" "$here/build/"
cp "$scratch/package/build/openseadragon/images/"*.png "$here/build/images/"
cp "$scratch/package/LICENSE.txt" "$here/LICENSE.txt"
echo "$version" >"$here/VERSION"
echo "openseadragon $version: $(ls "$here/build/images" | wc -l) images, integrity checked"
