#!/usr/bin/env bash
# Refreshes the vendored OpenSeadragon from the npm registry: fetches the package tarball, checks it
# against the registry's sha512 integrity, and keeps the tarball itself (the build unpacks the
# viewer and its images from it, after checking it against SHA512), its licence and its version.
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

tar -xzf "$tarball" -C "$scratch" package/LICENSE.txt
rm -f "$here"/openseadragon-*.tgz
cp "$tarball" "$here/"
cp "$scratch/package/LICENSE.txt" "$here/LICENSE.txt"
sha512sum "$tarball" | cut -d' ' -f1 >"$here/SHA512"
echo "$version" >"$here/VERSION"
echo "openseadragon $version: tarball kept, integrity checked"
