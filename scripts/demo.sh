#!/usr/bin/env bash
# The main job: builds the driver, the command-line tool and the simulator,
# then shows them at work.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset linux64 >/dev/null
cmake --build --preset linux64 --target qivma_tool fpsim_tool >/dev/null
exec build/linux64/tools/qivma/qivma demo "$@"
