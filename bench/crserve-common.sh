# Sourced by the crserve benchmarks: builds the tools into $build, packs the SIDE x SIDE mosaic of
# the bundled photos into $cr (once, in $work), and starts and stops the server $server.
# Expects root, build, work, side and server to be set.

[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 cr2ppm crserve make_mosaic crserve_load >/dev/null
mkdir -p "$work"
cr=$work/serve-$side.cr
if [ ! -f "$cr" ]; then
  image=$work/mosaic-$side.ppm
  [ -f "$image" ] || "$build/bench/make_mosaic" "$image" "$side" "$root"/samples/*.p?m
  "$build/ppm2r64" -pr "$image" "$work/serve-$side.r64" -l -cr "$cr" >/dev/null
  rm -f "$work/serve-$side.r64"
fi

# Starts crserve on PATH with the options that follow; sets pid and url.
start_server() {
  local out
  out=$(mktemp)
  "$server" "$@" -port 0 >"$out" &
  pid=$!
  trap 'kill -TERM $pid 2>/dev/null' EXIT
  for _ in $(seq 100); do grep -q serving "$out" && break; sleep 0.1; done
  url=$(sed -n 's/.* on //p' "$out")
  rm -f "$out"
}

stop_server() {
  kill -TERM "$pid"
  wait "$pid"
  trap - EXIT
}
