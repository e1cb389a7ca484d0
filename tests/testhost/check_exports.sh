#!/bin/sh
# Fails unless every plug-in given defines exactly one dynamic symbol, mexFunction, under the
# symbol version MEX (plus the version node itself).
status=0
for plugin in "$@"; do
  defined=$(readelf --dyn-syms --wide "$plugin" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $8 != "" {print $8}' | sort | tr '\n' ' ')
  if [ "$defined" != "MEX mexFunction@@MEX " ]; then
    echo "FAIL $plugin exports: $defined"
    status=1
  else
    echo "ok   $plugin exports: $defined"
  fi
done
[ $# -gt 0 ] || { echo "no plug-ins given"; status=1; }
exit $status
