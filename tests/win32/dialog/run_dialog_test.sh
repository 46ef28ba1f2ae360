#!/usr/bin/env bash
# Runs dialog_ui_test.exe under Wine with the CP936 ANSI code page and a
# private X server, and captures the screen while the dialog is open.
#
#   run_dialog_test.sh WIN32_TOOLS_DIR PROGRAM.exe SCREENSHOT.png
set -uo pipefail
tools=${1:?win32 tools folder}
exe=${2:?test program}
shot=$(realpath -m "${3:?screenshot file}")
prefix=${WIN32_PREFIX:-$HOME/.cache/vendrix-wine32}
prefix=${prefix%/}

# Wine takes the ANSI code page from the Unix locale.
locale=zh_CN.GBK
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.gbk$'; then
  echo "run_dialog_test: locale $locale missing (run scripts/setup)" >&2
  exit 1
fi

work=$(mktemp -d /tmp/vendrix-dialog.XXXXXX)
xvfb_pid=
watcher_pid=
cleanup() {
  [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Our own X server, so the screen can be captured from outside the run.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
if [ ! -s "$work/display" ]; then
  echo "run_dialog_test: Xvfb did not start" >&2
  exit 1
fi
display=:$(head -n1 "$work/display")

req=$prefix/drive_c/work/dialog_shot.req
rm -f "$req" "$req.done" "$shot"
(
  for _ in $(seq 3000); do
    if [ -e "$req" ]; then
      sleep 1  # let the dialog finish painting
      import -display "$display" -window root "$shot" 2>"$work/import.log"
      touch "$req.done"
      exit
    fi
    sleep 0.1
  done
) &
watcher_pid=$!

LANG=$locale LC_ALL=$locale WIN32_DISPLAY=$display WIN32_CWD='C:\work' \
  DIALOG_SHOT_REQ='C:\work\dialog_shot.req' bash "$tools/run" "$exe"
rc=$?

if [ -s "$shot" ]; then
  echo "screenshot: $shot"
else
  echo "run_dialog_test: no screenshot ($(cat "$work/import.log" 2>/dev/null))" >&2
  [ "$rc" = 0 ] && rc=1
fi
exit "$rc"
