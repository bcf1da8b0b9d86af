#!/usr/bin/env bash
# Configures and builds both presets: host (core, unit tests, builder, tools,
# end-to-end runner) and win32 (the stub and the end-to-end driver).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset host
cmake --build --preset host -j2
cmake --preset win32
cmake --build --preset win32 -j2
