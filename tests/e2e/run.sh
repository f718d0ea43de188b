#!/usr/bin/env bash
# The whole program as a person uses it: the real Test_Vornik in a real X server with a window
# manager, driven only by keyboard and mouse events (xdotool), against the throwaway MariaDB.
#
#   tests/e2e/run.sh HOST_PROGRAM CONTROL_LIBRARY OUTPUT_FOLDER
#
# Needs VORNIK_TEST_DB_PORT (and optionally VORNIK_TEST_DB_HOST) naming a throwaway server that has
# the schema and the built-in account: it adds and deletes records in its database qelmorand.
# The program gets a fresh profile (empty XDG_CONFIG_HOME and XDG_DATA_HOME) and a copy of the
# control library in a temporary folder, so the exports land there and the build stays as it was.
# Screenshots of every step go to OUTPUT_FOLDER (NN-step.png). Exits 0 when every check held, 1 on
# the first mismatch (naming the step), 77 (skip) when the server or the X tools are missing and
# neither VORNIK_REQUIRE_DB nor CI is set.
set -euo pipefail
export LC_ALL=C.UTF-8

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=xdrive.sh
source "$HERE/xdrive.sh"

HOST_PROGRAM=${1:?host program}
CONTROL_LIBRARY=${2:?control library}
OUT=${3:?output folder}

STEP="00-setup"
fail() {
    echo "e2e FAILED at step $STEP: $*" >&2
    [ -n "${XVFB_PID:-}" ] && shot "$OUT/$STEP-FAILED.png" 2>/dev/null || true
    exit 1
}
say() { printf '== e2e %s: %s\n' "$STEP" "$*" >&2; }
step() {
    STEP=$1
    say "$2"
}

skip_or_fail() {
    if [ -n "${VORNIK_REQUIRE_DB:-}" ] || [ -n "${CI:-}" ]; then
        fail "$1"
    fi
    echo "e2e skipped: $1" >&2
    exit 77
}

[ -n "${VORNIK_TEST_DB_PORT:-}" ] || skip_or_fail "no throwaway database (VORNIK_TEST_DB_PORT unset): run scripts/test"
for tool in Xvfb openbox xdotool xprop xwininfo xdpyinfo xmodmap xclip import convert compare mariadb iconv; do
    command -v "$tool" >/dev/null || skip_or_fail "$tool is missing (scripts/test installs it)"
done
[ -x "$HOST_PROGRAM" ] || fail "no host program at $HOST_PROGRAM"
[ -f "$CONTROL_LIBRARY" ] || fail "no control library at $CONTROL_LIBRARY"

DB_HOST=${VORNIK_TEST_DB_HOST:-127.0.0.1}
DB_PORT=$VORNIK_TEST_DB_PORT
PASSWORD=40628173
# The system's digest of the password, from the reference vectors the digest's own test checks.
PASSWORD_DIGEST=$(awk -F'\t' -v p="$PASSWORD" '$1 == p { print $2 }' "$HERE/../data/digest-vectors.tsv")
[[ $PASSWORD_DIGEST =~ ^[0-9A-F]{32}$ ]] || fail "no digest of $PASSWORD in tests/data/digest-vectors.tsv"

# Records found by the searches below; the marker "Vk7e2e" and the word "zq9needle" occur nowhere
# else. Titles and bodies hold Chinese and CR LF line ends, as Windows clients store them.
A_ID=2000010100000000001 A_TITLE='Vk7e2e 甲 alpha' A_DATA=$'第一行 first\r\n第二行 zq9needle'
B_ID=2000010100000000002 B_TITLE='Vk7e2e 乙 beta' B_DATA='beta 正文'
C_ID=2000010100000000003 C_TITLE='其他/gamma' C_DATA=$'gamma zq9needle 正文\r\n末行'
SEEDED_IDS="'$A_ID','$B_ID','$C_ID'"

# What the person types.
NEW_TITLE='Vk7e2e 端到端 新增'
NEW_LINES=('第一行：你好，世界' '第二行 second line' '第三行。')
NEW_DATA="${NEW_LINES[0]}"$'\r\n'"${NEW_LINES[1]}"$'\r\n'"${NEW_LINES[2]}"
MOD_TITLE='Vk7e2e 端到端 已修改'
MOD_LINE='第四行 modified'
MOD_DATA="$NEW_DATA"$'\r\n'"$MOD_LINE"
NEW_KEY='Vk7e2e 端到端'

mkdir -p "$OUT"
rm -f "$OUT"/*.png "$OUT"/app.log
WORK=$(mktemp -d /tmp/vornik-e2e.XXXXXX)
APP_PID=""
PLUGIN_SNAPSHOT=$(ls -A "$(dirname "$CONTROL_LIBRARY")")

cleanup() {
    local rc=$?
    if [ -n "$APP_PID" ] && kill -0 "$APP_PID" 2>/dev/null; then
        kill "$APP_PID" 2>/dev/null || true
        poll 5 bash -c "! kill -0 $APP_PID 2>/dev/null" || kill -9 "$APP_PID" 2>/dev/null || true
    fi
    [ -n "$APP_PID" ] && wait "$APP_PID" 2>/dev/null || true
    x_stop
    [ -f "$WORK/app.log" ] && cp "$WORK/app.log" "$OUT/app.log"
    sql "delete from SearchTxt_Data where dataid in ($SEEDED_IDS) or name like 'Vk7e2e%'" 2>/dev/null || true
    rm -rf "$WORK"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---- the database ----

sql() {
    mariadb --no-defaults --default-character-set=utf8mb4 -h "$DB_HOST" -P "$DB_PORT" -u qelmorand \
        --password="$PASSWORD" -D qelmorand --batch --raw --skip-column-names -e "$1"
}
hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | tr a-f A-F; }
gbk() { printf '%s' "$1" | iconv -f UTF-8 -t GBK; }


seed() {
    local values="" r
    for r in "A" "B" "C"; do
        local id="${r}_ID" title="${r}_TITLE" data="${r}_DATA"
        values+="${values:+,}('${!id}',convert(X'$(hex "${!title}")' using utf8mb4),"
        values+="convert(X'$(hex "${!data}")' using utf8mb4),now(),now(),'','','')"
    done
    sql "delete from SearchTxt_Data where dataid in ($SEEDED_IDS) or name like 'Vk7e2e%'"
    sql "insert into SearchTxt_Data (dataid,name,data,createdatetime,modidatetime,\`desc\`,\`keys\`,creator)
         values $values"
}

# ---- where things are on the screen ----

# The control sits at 50,50 twips in the window with the window's OUTER size less 100 x 700 twips,
# and scales its children from its design size 12795 x 6555 twips.
control_geometry() {
    geometry "$MAIN"
    local outer_w=$((GW + FL + FR)) outer_h=$((GH + FT + FB))
    CX=$((GX + 3)) # twipsToPixels(50)
    CY=$((GY + 3))
    CW=$(awk -v w="$outer_w" 'BEGIN { printf "%d", (w * 15 - 100) / 15 + 0.5 }')
    CH=$(awk -v h="$outer_h" 'BEGIN { printf "%d", (h * 15 - 700) / 15 + 0.5 }')
}

# rect L T W H: a child's rectangle on the screen (RX RY RW RH) from its design twips.
rect() {
    read -r RX RY RW RH < <(awk -v l="$1" -v t="$2" -v w="$3" -v h="$4" -v cw="$CW" -v ch="$CH" \
        -v cx="$CX" -v cy="$CY" 'function r(v) { return int(v + 0.5) }
        BEGIN { print cx + r(l * cw / 12795), cy + r(t * ch / 6555), r(w * cw / 12795), r(h * ch / 6555) }')
}

# at L T W H: the centre of a child (PX PY).
at() {
    rect "$@"
    PX=$((RX + RW / 2))
    PY=$((RY + RH / 2))
}

# Design geometry of the control's children, in twips.
SEARCH_BOX="120 480 11415 375"
VIEWER="120 840 12495 4095"
SPLITTER="0 4920 12735 70"
LIST="120 5040 12495 1110"
STATUS="120 6120 12495 375"
SETTINGS_LABEL="11880 240 360 180"
CONTROL_PANEL="1440 1440 9735 3615"
TEST_PANEL="4320 1680 6615 2895"
# Inside the control panel (relative to it).
RELOGIN_BUTTON="2520 480 1935 375"
TITLES_ONLY_BOX="120 960 1455 255"
PANEL_CLOSE="0 0 1215 375"

# in_panel PANEL CHILD: the child's design rectangle relative to the control.
in_panel() {
    local pl pt cl ct cw ch
    read -r pl pt _ _ <<<"$1"
    read -r cl ct cw ch <<<"$2"
    echo "$((pl + cl)) $((pt + ct)) $cw $ch"
}

# Pixels by which the result list's top and the control panel have been dragged.
SPLIT_DY=0
PANEL_DX=0 PANEL_DY=0

click_child() {
    at $1
    click $((PX + ${2:-0})) $((PY + ${3:-0}))
}

# The first row of the result list (rows are about 16 px high).
click_first_row() {
    rect $LIST
    click $((RX + 60)) $((RY + SPLIT_DY + 9))
}

right_click_list() {
    rect $LIST
    click $((RX + RW / 3)) $((RY + SPLIT_DY + RH - 30)) 3
}

# Moves the pointer over the title line, where nothing reacts to it, so that no tooltip (the result
# list shows one per row) or hover highlight gets into a screenshot that is compared.
park_pointer() {
    xdotool mousemove --sync $((CX + CW / 3)) $((CY + 8))
    sleep 0.1
}

# ---- reading the status line ----

LAST_STATUS_CLICK=0
# The status line's text without its time stamp, copied from the box as a person would. Two clicks
# on the box in quick succession would be a double click, which opens the test panel.
focus_status() {
    local now wait
    now=${EPOCHREALTIME/./}
    wait=$((600000 - (now - LAST_STATUS_CLICK)))
    [ "$wait" -gt 0 ] && sleep "$(awk -v w="$wait" 'BEGIN { print w / 1e6 }')"
    click_child "$STATUS"
    LAST_STATUS_CLICK=${EPOCHREALTIME/./}
}

STATUS_TEXT=""
status_is() {
    local text
    text=$(copy_all)
    STATUS_TEXT=${text:20} # "YYYY-MM-DD hh:mm:ss " first
    [[ $text =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}\  ]] && [[ $STATUS_TEXT =~ $1 ]]
}

# wait_status REGEX: waits until the status line's message matches.
wait_status() {
    focus_status
    poll "$E2E_TIMEOUT" status_is "$1" || fail "status line: expected /$1/, it reads \"$STATUS_TEXT\""
}

# ---- other checks ----

# expect_copied EXPECTED WHAT: the focused text box holds EXPECTED (copied out as a person would).
COPIED=""
expect_copied() {
    local wanted=$1
    poll 5 eval 'COPIED=$(copy_all); [ "$COPIED" = "$wanted" ]' || fail "$2 holds \"$COPIED\", expected \"$wanted\""
}

# expect_file PATH EXPECTED_BYTES_FILE WHAT
expect_file() {
    poll "$E2E_TIMEOUT" cmp -s "$1" "$2" || {
        [ -e "$1" ] || fail "$3: $1 was not written"
        fail "$3: $1 holds $(od -An -c "$1" | head -c 600) instead of $(od -An -c "$2" | head -c 600)"
    }
}

# expect_same_region SHOT_A X Y SHOT_B X2 Y2 W H WHAT: takes screenshot SHOT_B until its region at
# X2,Y2 looks like SHOT_A's region at X,Y (the program may still be repainting).
expect_same_region() {
    poll "$E2E_TIMEOUT" same_region_now "$@" || fail "$9: $DIFF of $(($7 * $8)) pixels differ"
}
same_region_now() {
    shot "$4"
    crop "$1" "$2" "$3" "$7" "$8" "$WORK/a.png"
    crop "$4" "$5" "$6" "$7" "$8" "$WORK/b.png"
    DIFF=$(differing_pixels "$WORK/a.png" "$WORK/b.png")
    [ "$DIFF" -le $(($7 * $8 / 50)) ]
}

# expect_other_region SHOT_A SHOT_B X Y W H WHAT: takes screenshot SHOT_B until the region at X,Y
# differs from SHOT_A's and has stopped changing.
expect_other_region() {
    poll "$E2E_TIMEOUT" other_region_now "$@" || fail "$7: only $DIFF of $(($5 * $6)) pixels changed"
    poll "$E2E_TIMEOUT" settled "$2" "$3" "$4" "$5" "$6" || fail "$7: the region does not stop changing"
}
# settled SHOT X Y W H: takes the screenshot again; true when the region is as it was.
settled() {
    crop "$1" "$2" "$3" "$4" "$5" "$WORK/a.png"
    shot "$1"
    crop "$1" "$2" "$3" "$4" "$5" "$WORK/b.png"
    [ "$(differing_pixels "$WORK/a.png" "$WORK/b.png")" = 0 ]
}
other_region_now() {
    shot "$2"
    crop "$1" "$3" "$4" "$5" "$6" "$WORK/a.png"
    crop "$2" "$3" "$4" "$5" "$6" "$WORK/b.png"
    DIFF=$(differing_pixels "$WORK/a.png" "$WORK/b.png")
    [ "$DIFF" -gt $(($5 * $6 / 50)) ]
}

# open_menu_entry N: opens the result list's popup menu with a right click and chooses entry N
# (counted from 1, the separator not counted) with the arrow keys. Sets MENU_HEIGHT.
open_menu_entry() {
    right_click_list
    choose_menu_entry "$1"
}

choose_menu_entry() {
    local menu i downs=()
    menu=$(wait_popup_menu) || fail "the popup menu did not open"
    geometry "$menu"
    MENU_HEIGHT=$GH
    shot "$WORK/menu.png"
    for ((i = 0; i < $1; i++)); do downs+=(Down); done
    key "${downs[@]}" Return
    wait_no_popup_menu || fail "the popup menu did not close"
}

search() {
    click_child "$SEARCH_BOX"
    key ctrl+a
    type_text "$1"
    key Return
}

# ==== the run ====

step 00-setup "X server, window manager, records, fresh profile"
mkdir -p "$WORK/config" "$WORK/data" "$WORK/cache" "$WORK/runtime" "$WORK/plugins" "$WORK/bin"
chmod 700 "$WORK/runtime"
cp "$CONTROL_LIBRARY" "$WORK/plugins/"
# The desktop's opener, as the exports call it: records what was opened instead of opening it.
cat >"$WORK/bin/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$WORK/opened.log"
EOF
chmod +x "$WORK/bin/xdg-open"
seed
x_start "$WORK" || fail "could not start Xvfb and openbox"
map_chars "$NEW_TITLE" "${NEW_LINES[@]}" "$MOD_TITLE" "$MOD_LINE" "$NEW_KEY" || fail "could not map the Chinese characters to keys"

step 01-start "the host window"
env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u SESSION_MANAGER -u QT_QPA_PLATFORM \
    XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data" XDG_CACHE_HOME="$WORK/cache" \
    XDG_RUNTIME_DIR="$WORK/runtime" VORNIK_PLUGIN_PATH="$WORK/plugins" PATH="$WORK/bin:$PATH" \
    QT_QPA_PLATFORM=xcb "$HOST_PROGRAM" >"$WORK/app.log" 2>&1 &
APP_PID=$!
MAIN=$(wait_window Form1) || fail "the window Form1 did not show"
wait_active "$MAIN" || fail "Form1 did not get the focus"
# The window's frame, once the window manager has put one round it, is centred on the screen (the
# program centres it again when the frame arrives: wait for that).
read -r SCREEN_W SCREEN_H < <(xwininfo -root | awk -F: '/^ *Width/ { w = $2 + 0 } /^ *Height/ { h = $2 + 0 } END { print w, h }')
centred() {
    geometry "$MAIN"
    FRAME_X=$((GX - FL)) FRAME_Y=$((GY - FT))
    WANT_X=$(((SCREEN_W - GW - FL - FR) / 2)) WANT_Y=$(((SCREEN_H - GH - FT - FB) / 2))
    [ "$FL$FT" != 00 ] && [ $(((FRAME_X - WANT_X) ** 2)) -le 1 ] && [ $(((FRAME_Y - WANT_Y) ** 2)) -le 1 ]
}
poll "$E2E_TIMEOUT" centred || fail "the window's frame is at $FRAME_X,$FRAME_Y, not centred at $WANT_X,$WANT_Y"
# The control is fitted to the window's outer size: the status line's grey box lies where the
# layout says. Every click below relies on the same arithmetic.
fitted() {
    control_geometry
    shot "$OUT/01-start.png"
    rect $STATUS
    GREY=$(column "$OUT/01-start.png" $((RX + RW / 2)) $((RY - 30)) $((RY + RH + 30)) | awk '$2 == "E0E0E0" { print $1 }')
    [ -n "$GREY" ] || return 1
    FIRST=$(head -1 <<<"$GREY") LAST=$(tail -1 <<<"$GREY")
    [ $((FIRST - RY)) -ge 0 ] && [ $((FIRST - RY)) -le 3 ] && [ $((RY + RH - 1 - LAST)) -ge 0 ] &&
        [ $((RY + RH - 1 - LAST)) -le 3 ]
}
poll "$E2E_TIMEOUT" fitted || fail "status line drawn at y=${FIRST:-?}..${LAST:-?}, expected inside \
$RY..$((RY + RH - 1)) (control ${CW}x$CH for the outer size $((GW + FL + FR))x$((GH + FT + FB)))"

step 02-login "first search asks for the account; 本地免登录 saves it"
search Vk7e2e
LOGIN=$(wait_window 数据库登录) || fail "the login dialog did not show on the first search"
wait_active "$LOGIN" || fail "the login dialog did not get the focus"
# The dialog opens in the password box; the server box is three fields back.
key shift+Tab shift+Tab shift+Tab ctrl+a
type_text "127.0.0.1:$DB_PORT"
key Tab Tab Tab
type_text "$PASSWORD"
geometry "$LOGIN"
click $((GX + (240 + 1695 / 2) / 15)) $((GY + (1800 + 375 / 2) / 15)) # 本地免登录
shot "$OUT/02-login.png"
key Return
wait_no_window 数据库登录 || fail "the login dialog did not close on Enter"
wait_status '^loaded OK$'
printf '[main]\r\ndbServerIP = 127.0.0.1:%s\r\ndbName = qelmorand\r\ndbUse = qelmorand\r\ndbPwd = %s\r\n' \
    "$DB_PORT" "$PASSWORD_DIGEST" | iconv -f UTF-8 -t GBK >"$WORK/settings.expected"
SETTINGS_FILE="$WORK/config/vornik/vornik.ini"
expect_file "$SETTINGS_FILE" "$WORK/settings.expected" "settings file"
[ "$(stat -c %a "$SETTINGS_FILE")" = 600 ] || fail "settings file mode is $(stat -c %a "$SETTINGS_FILE"), not 600"
shot "$OUT/02-logged-in.png"

step 03-title-search "a title search lists two titles; clicking one shows it"
click_first_row
# Figures: row 0 of 2, one CR LF, the characters of the stored text, caret at line 1 column 1.
wait_status "^共：0/2         总行数：1 行      字数：${#A_DATA}字当前位置：1行:1列$"
click_child "$VIEWER"
cr=$'\r'
expect_copied "${A_DATA//$cr/}" "the viewer" # shown with LF line ends
shot "$OUT/03-title-search.png"
rm -f "$WORK/plugins/Vornik.txt"
open_menu_entry 4 # 导出文件名
cp "$WORK/menu.png" "$OUT/03-menu.png"
TITLE_MENU_HEIGHT=$MENU_HEIGHT
wait_status '^导出文件名 完毕！$'
gbk "$A_TITLE"$'\r\n'"$B_TITLE"$'\r\n' >"$WORK/titles.expected"
expect_file "$WORK/plugins/Vornik.txt" "$WORK/titles.expected" "titles of the title search"
grep -q "Vornik.txt" "$WORK/opened.log" 2>/dev/null || fail "the titles file was not opened in the desktop's editor"

step 04-full-text "设置 → untick 只查文件名 → 关闭; the search now looks in the bodies"
park_pointer
shot "$WORK/before-panel.png"
click_child "$SETTINGS_LABEL"
expect_other_region "$WORK/before-panel.png" "$OUT/04-control-panel.png" $(rect $CONTROL_PANEL; echo $RX $RY $RW $RH) \
    "the control panel did not open"
click_child "$(in_panel "$CONTROL_PANEL" "$TITLES_ONLY_BOX")"
click_child "$(in_panel "$CONTROL_PANEL" "$PANEL_CLOSE")"
search zq9needle
wait_status '^loaded OK$'
rm -f "$WORK/plugins/Vornik.txt"
open_menu_entry 4 # 导出文件名
cp "$WORK/menu.png" "$OUT/04-menu.png"
[ "$MENU_HEIGHT" -gt "$TITLE_MENU_HEIGHT" ] ||
    fail "the popup menu is no taller in full-text mode ($MENU_HEIGHT px): 导出所有TXT is not offered"
wait_status '^导出文件名 完毕！$'
gbk "$A_TITLE"$'\r\n'"$C_TITLE"$'\r\n' >"$WORK/titles.expected"
expect_file "$WORK/plugins/Vornik.txt" "$WORK/titles.expected" "titles of the full-text search"
shot "$OUT/04-full-text.png"

step 05-add "增加TXT from the popup menu: a Chinese title and a body of three lines"
open_menu_entry 1 # 增加TXT
ADD=$(wait_window 新增TXT) || fail "the add form did not open"
wait_active "$ADD" || fail "the add form did not get the focus"
type_text "$NEW_TITLE"
key Tab
type_text "${NEW_LINES[0]}"
key Return
type_text "${NEW_LINES[1]}"
key Return
type_text "${NEW_LINES[2]}"
shot "$OUT/05-add-form.png"
geometry "$ADD"
click $((GX + (10560 + 1815 / 2) / 15)) $((GY + (120 + 375 / 2) / 15)) # 增加
wait_window Test_Vornik >/dev/null || fail "no message after 增加"
shot "$OUT/05-added.png"
key Return
wait_no_window Test_Vornik || fail "the message box did not close on Enter"
row=$(sql "select dataid, hex(data), \`desc\` is not null and \`desc\` = '' and \`keys\` = '' and creator = '',
           date_format(createdatetime, '%Y%m%d%H%i%s'), createdatetime, modidatetime
           from SearchTxt_Data where name = convert(X'$(hex "$NEW_TITLE")' using utf8mb4)")
[ "$(wc -l <<<"$row")" = 1 ] && [ -n "$row" ] || fail "expected one new row titled $NEW_TITLE, found: ${row:-none}"
IFS=$'\t' read -r NEW_ID data_hex empties created CREATED MODIFIED <<<"$row"
[[ $NEW_ID =~ ^[0-9]{19}$ ]] && [ "${NEW_ID:0:14}" = "$created" ] ||
    fail "record id $NEW_ID is not the creation time $created followed by five digits"
[ "$data_hex" = "$(hex "$NEW_DATA")" ] || fail "body stored as $data_hex, expected $(hex "$NEW_DATA") (CR LF line ends)"
[ "$empties" = 1 ] || fail "desc, keys and creator of the new row are not empty texts"
close_box "$ADD" || fail "no close box on the add form"
wait_no_window 新增TXT || fail "the add form did not close with its close box"
shot "$OUT/05-add-closed.png"

step 06-modify "select the new record, 修改TXT, change title and body, 保存并关闭"
search "$NEW_KEY"
wait_status '^loaded OK$'
click_first_row
wait_status "^共：0/1 "
open_menu_entry 3 # 修改TXT
MOD=$(wait_window 修改Txt) || fail "the modify form did not open"
wait_active "$MOD" || fail "the modify form did not get the focus"
expect_copied "$NEW_TITLE" "the modify form's title box (which has the focus)"
type_text "$MOD_TITLE"
geometry "$MOD"
click $((GX + (120 + 12255 / 2) / 15)) $((GY + (3000 + 4215 / 2) / 15)) # the body
key ctrl+End Return
type_text "$MOD_LINE"
shot "$OUT/06-modify-form.png"
saved_from=$(sql "select now()")
click $((GX + (10560 + 1815 / 2) / 15)) $((GY + (240 + 1455 / 2) / 15)) # 保存并关闭
wait_window Test_Vornik >/dev/null || fail "no message after 保存并关闭"
shot "$OUT/06-modified.png"
key Return
wait_no_window 修改Txt || fail "the modify form did not close after saving"
# The creation time stays; the modification time is the save's.
row=$(sql "select hex(name), hex(data), createdatetime, modidatetime >= '$saved_from' and modidatetime <= now()
           from SearchTxt_Data where dataid = '$NEW_ID'")
[ "$row" = "$(hex "$MOD_TITLE")"$'\t'"$(hex "$MOD_DATA")"$'\t'"$CREATED"$'\t'1 ] ||
    fail "record $NEW_ID after the modify reads \"$row\" (modified before $MODIFIED)"

step 07-delete "the menu key on the list, 删除TXT, OK"
# The list still shows the record under its old title, selected; a click on it gives the list the focus.
click_first_row
key Menu
choose_menu_entry 2 # 删除TXT
QUESTION=$(wait_window Test_Vornik) || fail "no confirmation before deleting"
shot "$OUT/07-delete-question.png"
key Return
wait_no_window Test_Vornik || fail "the confirmation did not close on Enter"
wait_status '^删除成功$'
[ "$(sql "select count(*) from SearchTxt_Data where dataid = '$NEW_ID'")" = 0 ] || fail "record $NEW_ID is still there"
[ "$(sql "select count(*) from SearchTxt_Data where dataid in ($SEEDED_IDS)")" = 3 ] || fail "another record went with it"
shot "$OUT/07-deleted.png"

step 08-export-all "导出所有TXT writes one GBK file per listed record"
search zq9needle
wait_status '^loaded OK$'
open_menu_entry 5 # 导出所有TXT
wait_status '^导出所有TXT 完毕！写入 2 个，跳过 0 个，失败 0 个。$'
gbk "$A_DATA"$'\r\n' >"$WORK/a.expected"
gbk "$C_DATA"$'\r\n' >"$WORK/c.expected"
expect_file "$WORK/plugins/Txt/$A_TITLE.txt" "$WORK/a.expected" "export of $A_ID"
expect_file "$WORK/plugins/Txt/其他【正斜线】gamma.txt" "$WORK/c.expected" "export of $C_ID"
[ "$(ls "$WORK/plugins/Txt" | wc -l)" = 2 ] || fail "the export folder holds $(ls "$WORK/plugins/Txt" | tr '\n' ' ')"
grep -q "/Txt" "$WORK/opened.log" || fail "the export folder was not opened in the file manager"
shot "$OUT/08-export-all.png"

step 09-splitter "drag the bar between viewer and list up by 60 px"
park_pointer
shot "$WORK/split-before.png"
rect $LIST
list_x=$RX list_y=$RY list_w=$RW
at $SPLITTER
drag $((PX + 200)) "$PY" $((PX + 200)) $((PY - 60))
park_pointer
# The bar follows the pointer; the list now starts right below the bar (the design's gap between
# them is gone), so its top edge and first rows show that much higher. The status line stays.
rect $SPLITTER
SPLIT_DY=$((RY - 60 + RH - list_y))
expect_same_region "$WORK/split-before.png" "$list_x" $((list_y - 2)) "$OUT/09-splitter.png" "$list_x" \
    $((list_y + SPLIT_DY - 2)) "$list_w" 30 "the list's top did not move up to the bar's new place"
expect_other_region "$WORK/split-before.png" "$OUT/09-splitter.png" "$list_x" $((list_y - 2)) "$list_w" 30 \
    "nothing changed where the list began"
rect $STATUS
expect_same_region "$WORK/split-before.png" "$RX" "$RY" "$OUT/09-splitter.png" "$RX" "$RY" "$RW" "$RH" \
    "the status line moved"
click_first_row
wait_status "^共：0/2 "

step 10-panels "drag the control panel and the test panel"
park_pointer
shot "$WORK/panel-0.png"
click_child "$SETTINGS_LABEL"
rect $CONTROL_PANEL
panel_x=$RX panel_y=$RY panel_w=$RW panel_h=$RH
expect_other_region "$WORK/panel-0.png" "$WORK/panel-1.png" "$panel_x" "$panel_y" "$panel_w" "$panel_h" \
    "the control panel did not open"
# Grab an empty part of the panel, right of its buttons, and move it right and down.
drag $((panel_x + panel_w * 2 / 3)) $((panel_y + panel_h / 2)) $((panel_x + panel_w * 2 / 3 + 80)) \
    $((panel_y + panel_h / 2 + 50))
PANEL_DX=80 PANEL_DY=50
expect_same_region "$WORK/panel-1.png" "$panel_x" "$panel_y" "$OUT/10-control-panel-dragged.png" \
    $((panel_x + 80)) $((panel_y + 50)) "$panel_w" "$panel_h" "the control panel did not move by 80,50 px"
click_child "$(in_panel "$CONTROL_PANEL" "$PANEL_CLOSE")" "$PANEL_DX" "$PANEL_DY"
expect_other_region "$OUT/10-control-panel-dragged.png" "$WORK/panel-2.png" $((panel_x + 80)) $((panel_y + 50)) \
    "$panel_w" "$panel_h" "关闭 at the panel's new place did not close it"
# Alt+S, with the focus in the control, opens the test panel.
click_child "$SEARCH_BOX"
key alt+s
park_pointer
rect $TEST_PANEL
test_x=$RX test_y=$RY test_w=$RW test_h=$RH
expect_other_region "$WORK/panel-2.png" "$WORK/panel-3.png" "$test_x" "$test_y" "$test_w" "$test_h" \
    "Alt+S did not open the test panel"
drag $((test_x + test_w / 2)) $((test_y + test_h - 20)) $((test_x + test_w / 2 - 70)) $((test_y + test_h - 20 + 40))
expect_same_region "$WORK/panel-3.png" "$test_x" "$test_y" "$OUT/10-test-panel-dragged.png" $((test_x - 70)) \
    $((test_y + 40)) "$test_w" "$test_h" "the test panel did not move by -70,40 px"
click_child "$(in_panel "$TEST_PANEL" "$PANEL_CLOSE")" -70 40
expect_other_region "$OUT/10-test-panel-dragged.png" "$WORK/panel-4.png" $((test_x - 70)) $((test_y + 40)) \
    "$test_w" "$test_h" "关闭 did not close the test panel"

step 11-relogin "设置 → 重新登录 forgets the account; the next search asks again"
click_child "$SETTINGS_LABEL"
sleep 0.2
# The panel opens where it was dragged to.
click_child "$(in_panel "$CONTROL_PANEL" "$RELOGIN_BUTTON")" "$PANEL_DX" "$PANEL_DY"
wait_window Test_Vornik >/dev/null || fail "no message after 重新登录"
shot "$OUT/11-relogin.png"
key Return
wait_no_window Test_Vornik || fail "the message box did not close on Enter"
poll "$E2E_TIMEOUT" test ! -e "$SETTINGS_FILE" || fail "the settings file is still there"
click_child "$(in_panel "$CONTROL_PANEL" "$PANEL_CLOSE")" "$PANEL_DX" "$PANEL_DY"
search zq9needle
LOGIN=$(wait_window 数据库登录) || fail "the login dialog did not show on the search after 重新登录"
wait_active "$LOGIN" || fail "the login dialog did not get the focus"
shot "$OUT/11-login-again.png"
# A fresh dialog: the server box holds the default again, not what was typed before.
key shift+Tab shift+Tab shift+Tab
expect_copied 127.0.0.1 "the login dialog's server box"
key Escape
wait_no_window 数据库登录 || fail "Esc did not cancel the login dialog"
wait_status '登录已取消'
[ ! -e "$SETTINGS_FILE" ] || fail "a cancelled login wrote the settings file"
shot "$OUT/11-cancelled.png"

step 12-close "the window's close box ends the program"
close_box "$MAIN" || fail "no close box on the main window"
poll "$E2E_TIMEOUT" bash -c "! kill -0 $APP_PID 2>/dev/null" || fail "the program did not end"
rc=0
wait "$APP_PID" || rc=$?
APP_PID=""
[ "$rc" = 0 ] || fail "the program ended with status $rc"
shot "$OUT/12-closed.png"
[ "$(ls -A "$(dirname "$CONTROL_LIBRARY")")" = "$PLUGIN_SNAPSHOT" ] || fail "the build's plugin folder changed"

STEP=done
say "all steps passed; screenshots in $OUT"
