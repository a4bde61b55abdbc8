# Sourced: starts the provider simulator on a free loopback port for this shell, exports
# PARLY_SIM_PORT and stops the simulator when the shell exits.
_sim_dir="$(mktemp -d)"
python3 "$(dirname "${BASH_SOURCE[0]}")/../tools/simulator/parly_sim.py" --port 0 --port-file "$_sim_dir/port" \
  --parent-pid $$ --quiet >/dev/null 2>&1 </dev/null &
_sim_pid=$!
trap 'kill $_sim_pid 2>/dev/null; rm -rf "$_sim_dir"' EXIT
for _ in $(seq 1 200); do [ -s "$_sim_dir/port" ] && break; kill -0 $_sim_pid 2>/dev/null || break; sleep 0.05; done
[ -s "$_sim_dir/port" ] || { echo "the provider simulator did not start" >&2; exit 1; }
export PARLY_SIM_PORT="$(cat "$_sim_dir/port")"
winpath() { echo "Z:$(realpath "$1" | sed 's#/#\\#g')"; }
