#!/usr/bin/env bash
# Builds and installs the package, then runs the main example.
source "$(dirname "$0")/bootstrap.sh"
qel_install_system_packages
qel_activate_venv
qel_install_package
cd "$QEL_ROOT"
python examples/main_example.py "$@"
