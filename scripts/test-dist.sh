#!/usr/bin/env bash
# Packs the tested build, unpacks the zip elsewhere and runs an example through the unpacked parly-host.
set -eu
build="$1"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
"$root/scripts/dist.sh" "$build" "$work/ParlyPlugin-test.zip" >/dev/null
(cd "$work" && unzip -q ParlyPlugin-test.zip)
pkg="$work/ParlyPlugin-test"
for f in ParlyPlugin.nbp parly-host.exe README.md docs/guide.md examples/demo.parly; do
  [ -f "$pkg/$f" ] || { echo "missing from the package: $f"; exit 1; }
done
cat > "$pkg/check.parly" <<'EOS'
ParlyGetError "[Err]"
ParlySetEndpoint "[Sim]"
ParlyInit "Ollama" "" "[Status]"
ParlySend "from the package" "[Answer]"
Print "package: [Status] [Answer]"
EOS
. "$root/scripts/sim-env.sh"
out="$(PARLY_BUILD_DIR="$build" "$root/cmake/wine-run.sh" "$pkg/parly-host.exe" --var "[Sim]=http://127.0.0.1:$PARLY_SIM_PORT" "$(winpath "$pkg/check.parly")" 2>&1 || true)"
echo "$out"
rm -rf "$work"
echo "$out" | grep -q "package: OK" || { echo "the packaged parly-host did not run the example"; exit 1; }
