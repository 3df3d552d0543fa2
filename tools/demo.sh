#!/bin/sh
# Runs the main job on a built-in example.
set -eu
"$1"
