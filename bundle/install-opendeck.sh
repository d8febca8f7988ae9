#!/usr/bin/env bash
# The installer's first name, kept working: see install-plugin.sh beside it for the options.
exec bash "$(dirname "$0")/install-plugin.sh" "$@"
