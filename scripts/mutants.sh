#!/bin/sh
# Mutation score of the native tests: scripts/mutants.sh [-s SEED] [-n COUNT] [-b BUILD] [-E REGEX]
# (see scripts/mutants.py). Needs a configured native build, build/native by default.
exec python3 "$(dirname "$0")/mutants.py" "$@"
