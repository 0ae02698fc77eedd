# Sourced by tools/test and tools/bench: a private X display (Xvfb), a window manager
# (openbox) and a session bus, all stopped again when the script exits.
# Uses and sets: work (a scratch folder), DISPLAY, DBUS_SESSION_BUS_ADDRESS.

work=$(mktemp -d)
xvfb="" wm="" bus=""
stop_desktop() {
  [ -n "$wm" ] && kill "$wm" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  [ -n "$bus" ] && kill "$bus" 2>/dev/null || true
  rm -rf "$work"
}
trap stop_desktop EXIT
trap 'exit 130' INT TERM HUP

# Xvfb picks a free display number and tells it on fd 3.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
ticks=0
while [ ! -s "$work/display" ]; do
  ticks=$((ticks + 1)); [ $ticks -gt 100 ] && { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
DISPLAY=:$(cat "$work/display"); export DISPLAY

# The window manager must be managing before anything starts: without one no window
# gets the focus and everything that types goes nowhere. It is started again if it
# could not connect.
managing() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
tries=0 ticks=0
until managing; do
  ticks=$((ticks + 1))
  [ $ticks -gt 200 ] && { echo "openbox does not manage the display" >&2; cat "$work/openbox.log" >&2; exit 1; }
  if [ -z "$wm" ] || ! kill -0 "$wm" 2>/dev/null; then
    tries=$((tries + 1)); [ $tries -gt 5 ] && { echo "openbox did not start" >&2; cat "$work/openbox.log" >&2; exit 1; }
    openbox >>"$work/openbox.log" 2>&1 &
    wm=$!
  fi
  sleep 0.1
done

# The bus listens on an abstract socket, which every mount namespace (and chroot) of the
# machine reaches alike; dbus-launch on Debian 13 makes a socket file in /tmp, which a test
# that runs the app in a namespace of its own may not see.
dbus-daemon --session --fork --address="unix:abstract=$work/bus" --print-address=3 --print-pid=4 \
  3>"$work/bus.address" 4>"$work/bus.pid"
bus=$(cat "$work/bus.pid")
DBUS_SESSION_BUS_ADDRESS=$(cat "$work/bus.address"); export DBUS_SESSION_BUS_ADDRESS
export GTK_A11Y=none NO_AT_BRIDGE=1
