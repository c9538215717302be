#!/usr/bin/env bash
# The demo until the plugin's host exists: installs dependencies, builds tpk-convert in the
# default preset, then converts the sample of each format in examples/ (one match list written
# as JSON, MessagePack and YAML) to indented JSON. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

echo "=== build tpk-convert (preset default)"
cmake --preset default >/dev/null
cmake --build --preset default --target tpk-convert

tool=build/default/tools/tpk-convert/tpk-convert
for sample in examples/sample.json examples/sample.msgpack examples/sample.yaml; do
  echo
  echo "=== ${sample} ($(stat -c %s "${sample}") bytes) -> tpk-convert --indent"
  "${tool}" --indent "${sample}"
done
echo
echo "demo: converted 3 samples"
