#!/usr/bin/env bash
# One prepared run on a machine with a CUDA GPU: builds both extensions in place for the
# interpreter found there, runs the tests that need CUDA, then the GPU forward benchmark.
# Writes the benchmark's table to $OUT/gpu_forward.txt when OUT is set. About 3 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
cmake -S . -B build/gpu -G Ninja -DPython_EXECUTABLE="$(command -v "$PY")" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/gpu
cp build/gpu/*.so src/quorvane/
export PYTHONPATH=src
"$PY" -c "import torch; assert torch.cuda.is_available(), 'no CUDA device'; print(torch.__version__, torch.cuda.get_device_name())"
"$PY" -m pytest -q -p no:cacheprovider tests/test_forward.py tests/test_forward_threads.py tests/test_forward_cache.py \
    -k "cuda or graph or device"
"$PY" benchmarks/forward.py --device cuda --rounds 15 | tee "${OUT:-.}/gpu_forward.txt"
