# Helpers for driving a real X11 program as a person would: a private Xvfb with a window manager,
# finding windows by title, keyboard and mouse through xdotool, reading selected text through the
# clipboard, screenshots and comparisons of screen regions. Sourced by tests/e2e/run.sh.
#
# Every wait polls with a deadline; nothing sleeps for a fixed "long enough".

E2E_TIMEOUT=${E2E_TIMEOUT:-15} # seconds any single wait may take

# poll SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds; false after SECONDS.
poll() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    while true; do
        "$@" && return 0
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# ---- the X server and the window manager ----

# x_start RUNDIR: Xvfb on the first free display from :120 on, then openbox. Sets DISPLAY and the
# pids XVFB_PID, WM_PID.
x_start() {
    local rundir=$1 n
    for n in $(seq 120 160); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >"$rundir/xvfb.log" 2>&1 &
        XVFB_PID=$!
        if poll 10 xdpyinfo -display ":$n" >/dev/null 2>&1; then
            export DISPLAY=":$n"
            break
        fi
        # Lost a race for this display number, or the server failed: try the next one.
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    done
    [ -n "${XVFB_PID:-}" ] || return 1
    # The window manager gets folders of its own, so the program's profile stays untouched.
    mkdir -p "$rundir/wm/config" "$rundir/wm/cache" "$rundir/wm/data"
    XDG_CONFIG_HOME="$rundir/wm/config" XDG_CACHE_HOME="$rundir/wm/cache" XDG_DATA_HOME="$rundir/wm/data" \
        openbox --sm-disable >"$rundir/openbox.log" 2>&1 &
    WM_PID=$!
    poll 10 wm_ready
}

wm_ready() {
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}

# x_stop: ends the window manager and the X server started by x_start (by their pids).
x_stop() {
    local pid
    for pid in ${WM_PID:-} ${XVFB_PID:-}; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in ${WM_PID:-} ${XVFB_PID:-}; do
        poll 5 bash -c "! kill -0 $pid 2>/dev/null" || kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    WM_PID= XVFB_PID=
}

# map_chars TEXT...: binds every non-ASCII character of the texts to a spare key (two characters a
# key, the second with Shift), so that xdotool types them as ordinary keys. xdotool's own way for
# characters missing from the keymap (rebinding a scratch key per character) races with the program
# reading the new binding and loses characters. Call it before the program starts.
map_chars() {
    local all="$*" c seen="" i
    local -a chars=() spare=() args=()
    for ((i = 0; i < ${#all}; i++)); do
        c=${all:i:1}
        [[ $c == [[:ascii:]] ]] && continue
        [[ $seen == *"$c"* ]] && continue
        seen+=$c
        chars+=("$(printf 'U%04X' "'$c")")
    done
    # Keys without any symbol in the server's keymap.
    mapfile -t spare < <(xmodmap -pke | awk 'NF == 3 && $2 > 8 { print $2 }')
    local k=0
    for ((i = 0; i < ${#chars[@]}; i += 2)); do
        [ "$k" -lt "${#spare[@]}" ] || {
            echo "map_chars: more characters than spare keys (${#chars[@]} characters)" >&2
            return 1
        }
        args+=(-e "keycode ${spare[k]} = ${chars[i]} ${chars[i + 1]:-${chars[i]}}")
        k=$((k + 1))
    done
    [ ${#args[@]} -eq 0 ] || xmodmap "${args[@]}"
}

# ---- windows ----

# client_window TITLE: the id of the managed (top-level, framed) window whose title is exactly
# TITLE; nothing when there is none. The program's inner native windows share its class name, so
# only the window manager's client list tells its dialogs apart.
client_window() {
    local title=$1 id
    for id in $(xprop -root _NET_CLIENT_LIST 2>/dev/null | grep -o '0x[0-9a-f]*'); do
        if [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$title" ]; then
            printf '%d\n' "$id"
            return 0
        fi
    done
    return 1
}

# wait_window TITLE: waits until a managed window with that title is mapped; prints its id.
wait_window() {
    local wanted_title=$1 found_id=""
    poll "$E2E_TIMEOUT" eval 'found_id=$(client_window "$wanted_title") &&
        xwininfo -id "$found_id" 2>/dev/null | grep -q IsViewable' || return 1
    echo "$found_id"
}

# wait_no_window TITLE: waits until no managed window has that title.
wait_no_window() {
    local gone_title=$1
    poll "$E2E_TIMEOUT" eval '! client_window "$gone_title" >/dev/null'
}

# wait_active ID: waits until the window manager has given window ID the focus.
wait_active() {
    local active_id=$1
    poll "$E2E_TIMEOUT" eval '[ "$(xdotool getactivewindow 2>/dev/null)" = "$active_id" ]'
}

# geometry ID: the client area's absolute position and size (GX GY GW GH) and the frame's extents
# (FL FR FT FB: left, right, top, bottom).
geometry() {
    local info extents
    info=$(xwininfo -id "$1")
    GX=$(awk -F: '/Absolute upper-left X/ { print $2 + 0 }' <<<"$info")
    GY=$(awk -F: '/Absolute upper-left Y/ { print $2 + 0 }' <<<"$info")
    GW=$(awk -F: '/^ *Width/ { print $2 + 0 }' <<<"$info")
    GH=$(awk -F: '/^ *Height/ { print $2 + 0 }' <<<"$info")
    # A window without a frame (a popup menu) has no extents.
    extents=$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | grep -o '[0-9].*' | tr -d ' ' || true)
    IFS=, read -r FL FR FT FB <<<"${extents:-0,0,0,0}"
}

# close_box ID: clicks the close button in the window manager's title bar of window ID: the
# rightmost square button above the client area.
close_box() {
    local id=$1 frame line size x y best=-1 bx="" by=""
    geometry "$id"
    frame=$(frame_of "$id")
    while read -r line; do
        # "0x2003a1 (has no name): ()  12x12+793+3  +1014+206": size, place in parent, absolute place
        [[ $line =~ \ ([0-9]+)x([0-9]+)\+-?[0-9]+\+-?[0-9]+\ +\+(-?[0-9]+)\+(-?[0-9]+)$ ]] || continue
        size=${BASH_REMATCH[1]}
        x=${BASH_REMATCH[3]}
        y=${BASH_REMATCH[4]}
        [ "$size" = "${BASH_REMATCH[2]}" ] && [ "$size" -ge 8 ] && [ "$size" -le 32 ] || continue
        [ $((y + size)) -le "$GY" ] && [ "$x" -gt "$best" ] || continue
        best=$x
        bx=$((x + size / 2))
        by=$((y + size / 2))
    done < <(xwininfo -id "$frame" -tree)
    [ -n "$bx" ] || return 1
    click "$bx" "$by"
}

# frame_of ID: the window manager's frame around window ID (its ancestor just below the root).
frame_of() {
    local id=$1 parent root
    root=$(xwininfo -root | awk '/Window id:/ { print $4 }')
    while true; do
        parent=$(xwininfo -id "$id" -children | awk '/Parent window id:/ { print $4 }')
        [ "$parent" = "$root" ] && break
        id=$parent
    done
    echo "$id"
}

# wait_popup_menu: waits for a popup menu to show; prints its id.
wait_popup_menu() {
    local menu_id=""
    poll "$E2E_TIMEOUT" eval 'menu_id=$(popup_menu)' || return 1
    echo "$menu_id"
}

# The program's popup menu: a window of the program's class (E2E_CLASS) above the others
# (override-redirect), not a tooltip.
E2E_CLASS=${E2E_CLASS:-Test_Vornik}
popup_menu() {
    local id info
    for id in $(xwininfo -root -children | grep -F "(\"$E2E_CLASS\"" | awk '$1 ~ /^0x/ { print $1 }'); do
        info=$(xwininfo -id "$id")
        grep -q IsViewable <<<"$info" && grep -q 'Override Redirect State: yes' <<<"$info" || continue
        xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _NET_WM_WINDOW_TYPE_TOOLTIP && continue
        echo "$id"
        return 0
    done
    return 1
}

wait_no_popup_menu() {
    poll "$E2E_TIMEOUT" eval '! popup_menu >/dev/null'
}

# ---- keyboard and mouse ----

click() { xdotool mousemove --sync "$1" "$2" click "${3:-1}"; }
key() { xdotool key --delay 30 "$@"; }
type_text() { xdotool type --delay 20 -- "$1"; }

# drag X0 Y0 X1 Y1: presses the left button at X0,Y0, moves in steps to X1,Y1 and releases it.
drag() {
    local x0=$1 y0=$2 x1=$3 y1=$4 i steps=6
    xdotool mousemove --sync "$x0" "$y0" mousedown 1
    for ((i = 1; i <= steps; i++)); do
        xdotool mousemove --sync $((x0 + (x1 - x0) * i / steps)) $((y0 + (y1 - y0) * i / steps))
    done
    xdotool mouseup 1
}

# copy_selection: what the focused text box holds, as a person gets it: Ctrl+A, Ctrl+C, then the
# clipboard. The program answers the clipboard request only after handling the keys sent before it.
copy_all() {
    key ctrl+a ctrl+c
    xclip -o -selection clipboard 2>/dev/null || true
}

# ---- screenshots ----

shot() { import -window root "$1"; }

# crop SHOT X Y W H OUT
crop() { convert "$1" -crop "$4x$5+$2+$3" +repage "$6"; }

# differing_pixels A B: how many pixels of two same-sized images differ beyond a small tolerance.
differing_pixels() {
    local n
    n=$(compare -metric AE -fuzz 2% "$1" "$2" null: 2>&1 || true)
    printf '%.0f\n' "${n%% *}"
}

# pixel SHOT X Y: the colour as RRGGBB.
pixel() {
    convert "$1" -crop "1x1+$2+$3" +repage -depth 8 txt:- | awk 'NR == 2 { sub(/^#/, "", $3); print substr($3, 1, 6) }'
}

# column SHOT X Y0 Y1: "y RRGGBB" for each pixel of column X from Y0 to Y1.
column() {
    convert "$1" -crop "1x$(($4 - $3 + 1))+$2+$3" +repage -depth 8 txt:- |
        awk -v y0="$3" 'NR > 1 { split($1, p, /[,:]/); sub(/^#/, "", $3); print y0 + p[2], substr($3, 1, 6) }'
}
