#!/usr/bin/env bash
# Installs the packages the build needs (when missing), builds the library, the stand-in service,
# the demo, the command-line host and the README's C example (build/out/crop_assist_example)
# into build/, and runs one demo session. The demo writes a picture of its frame with the regions
# found to build/cropassist-demo.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc)" --target cropassist_demo omnivue_service cropassist \
    crop_assist_example
# The service's names are machine-wide; wait for a test run that uses them to finish first.
exec flock /tmp/omnivue-tests.lock build/out/cropassist_demo --output build/cropassist-demo.png "$@"
