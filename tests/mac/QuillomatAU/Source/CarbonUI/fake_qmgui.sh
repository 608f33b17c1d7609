#!/bin/bash
# Stands in for the GUI application in the launcher's tests. What it does
# comes from the environment, so the arguments reach it untouched:
#   FAKE_QMGUI_DIR          where it writes: "args" (NUL-separated), "launches"
#                           (a line per start), "fds" (its open descriptors),
#                           "pid", "talked", "grandchild" (that process's id)
#   FAKE_QMGUI_TALK         bytes to write to standard output and again to error
#   FAKE_QMGUI_IGNORE_TERM  1: ignore SIGTERM
#   FAKE_QMGUI_GRANDCHILD   1: leave a process behind that holds our output open
#   FAKE_QMGUI_LIFE         seconds before it exits by itself (default 30)
dir=${FAKE_QMGUI_DIR:?}
printf '%s\0' "$@" > "$dir/args"
echo start >> "$dir/launches"
find /proc/$$/fd -mindepth 1 -maxdepth 1 -printf '%f %l\n' > "$dir/fds"
[ "${FAKE_QMGUI_IGNORE_TERM:-0}" = 1 ] && trap '' TERM
if [ "${FAKE_QMGUI_GRANDCHILD:-0}" = 1 ]; then
  sleep 30 &
  echo $! > "$dir/grandchild"
fi
echo $$ > "$dir/pid"
if [ "${FAKE_QMGUI_TALK:-0}" -gt 0 ]; then
  yes 'the GUI has a lot to say' | head -c "$FAKE_QMGUI_TALK"
  yes 'and complains as much' | head -c "$FAKE_QMGUI_TALK" >&2
  touch "$dir/talked"
fi
end=$((SECONDS + ${FAKE_QMGUI_LIFE:-30}))
while [ $SECONDS -lt $end ]; do sleep 0.05; done
