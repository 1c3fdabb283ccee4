#!/usr/bin/env bash
# The service units and the sysusers file as shipped: systemd-analyze verify
# passes on each (the programs pointed at the build tree's), and the
# sysusers file makes the tolvane user in a scratch root.
# Usage: service_units.sh SOURCE_DIR NODE_PROGRAM PROGRAM
set -euo pipefail
src=$1 node=$2 prog=$3
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (package systemd)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
units=$src/packaging/systemd
sed "s#/usr/bin/tolvane-node #$node #" "$units/tolvane-node@.service" >"$work/tolvane-node@.service"
sed "s#/usr/bin/tolvane #$prog #" "$units/tolvane-serve.service" >"$work/tolvane-serve.service"
fail=0
for unit in tolvane-node@PLANT1.service tolvane-serve.service; do
  # verify exits 0 on some complaints (unknown keys): any output is a failure.
  if ! out=$(systemd-analyze verify "$work/$unit" 2>&1) || [ -n "$out" ]; then
    echo "FAIL: systemd-analyze verify $unit:"
    echo "$out"
    fail=1
  else
    echo "ok: $unit verifies"
  fi
done
# What the deployment relies on: readiness, the dedicated user, its
# directories, a restart that leaves bad configuration alone, hardening.
for file in "$units/tolvane-node@.service" "$units/tolvane-serve.service"; do
  for line in Type=notify User=tolvane StateDirectory=tolvane ConfigurationDirectory=tolvane \
      Restart=on-failure RestartPreventExitStatus=2 ProtectSystem=strict ProtectHome=yes \
      NoNewPrivileges=yes PrivateTmp=yes PrivateDevices=yes CapabilityBoundingSet= \
      SystemCallFilter=@system-service; do
    if ! grep -qx -- "$line" "$file"; then
      echo "FAIL: ${file##*/} lacks $line"
      fail=1
    fi
  done
  grep -q '^RestrictAddressFamilies=.*AF_UNIX' "$file" ||
    { echo "FAIL: ${file##*/}: sd_notify needs AF_UNIX"; fail=1; }
done
if command -v systemd-sysusers >/dev/null; then
  mkdir -p "$work/root/etc"
  systemd-sysusers --root="$work/root" "$units/tolvane.sysusers" 2>&1
  if grep -q '^tolvane:.*:/var/lib/tolvane:/usr/sbin/nologin$' "$work/root/etc/passwd"; then
    echo "ok: the sysusers file makes the tolvane user"
  else
    echo "FAIL: the sysusers file made no tolvane user"
    cat "$work/root/etc/passwd" 2>/dev/null || true
    fail=1
  fi
fi
exit $fail
