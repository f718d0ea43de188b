# Shared by scripts/test, scripts/run and scripts/bench: packages, build, and MariaDB servers.
# Sourced, not run.

VORNIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VORNIK_BUILD=${VORNIK_BUILD:-$VORNIK_ROOT/build}
VORNIK_PACKAGES=(build-essential dpkg-dev cmake pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev
                 libmariadb-dev mariadb-server mariadb-client fonts-noto-cjk
                 # remembered passwords: QtKeychain, and libsecret, which it loads at run time
                 qtkeychain-qt6-dev libsecret-1-0
                 # the secret store test: a D-Bus session of its own with GNOME Keyring in it
                 dbus-daemon dbus-bin gnome-keyring
                 # the end-to-end test: X server, window manager, input, keymap, clipboard, screenshots
                 xvfb openbox xdotool x11-utils x11-xserver-utils xclip imagemagick
                 # the transport test: the certificates of its TLS servers
                 openssl)

log() { printf '== %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whatever of VORNIK_PACKAGES (plus "$@") is missing.
ensure_packages() {
    local missing=() p
    for p in "${VORNIK_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    # Debian's service scripts must not start a system-wide server as a side effect.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# VORNIK_CMAKE_ARGS adds options, e.g. -DVORNIK_SANITIZE=ON (with VORNIK_BUILD=build-asan).
build_all() {
    # shellcheck disable=SC2086
    cmake -S "$VORNIK_ROOT" -B "$VORNIK_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VORNIK_CMAKE_ARGS:-} >/dev/null
    cmake --build "$VORNIK_BUILD" -j2
}

# The Debian package of the build (CPack; dpkg-shlibdeps names the shared libraries it needs).
# Prints the package file's path.
build_package() {
    (cd "$VORNIK_BUILD" && cpack -G DEB >"$VORNIK_BUILD/cpack.log" 2>&1) || {
        cat "$VORNIK_BUILD/cpack.log" >&2
        return 1
    }
    sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$VORNIK_BUILD/cpack.log"
}

free_port() {
    local p
    for _ in $(seq 1 200); do
        p=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return 0; fi
    done
    return 1
}

mariadbd_bin() { command -v mariadbd || echo /usr/sbin/mariadbd; }

# db_init DATADIR: a fresh data folder (table names resolved without regard to case).
db_init() {
    local datadir=$1
    mkdir -p "$datadir"
    local userarg=()
    [ "$(id -u)" -eq 0 ] && userarg=(--user=root)
    mariadb-install-db --no-defaults "${userarg[@]}" --datadir="$datadir" --lower-case-table-names=1 \
        --skip-test-db --auth-root-authentication-method=socket >"$datadir.install.log" 2>&1 || {
        cat "$datadir.install.log" >&2
        return 1
    }
}

# db_start DATADIR RUNDIR PORT [SERVER OPTIONS...]: starts mariadbd in the background on 127.0.0.1:PORT
# (with any further options, e.g. --init-connect=...); waits until it answers.
db_start() {
    local datadir=$1 rundir=$2 port=$3
    shift 3
    mkdir -p "$rundir"
    local userarg=()
    [ "$(id -u)" -eq 0 ] && userarg=(--user=root)
    "$(mariadbd_bin)" --no-defaults "${userarg[@]}" --datadir="$datadir" --socket="$rundir/mariadb.sock" \
        --pid-file="$rundir/mariadb.pid" --log-error="$rundir/mariadb.err" --port="$port" \
        --bind-address=127.0.0.1 --lower-case-table-names=1 --character-set-server=utf8mb4 \
        --collation-server=utf8mb4_general_ci --skip-name-resolve --innodb-buffer-pool-size=256M \
        --innodb-flush-log-at-trx-commit=2 "$@" >/dev/null 2>&1 &
    echo $! >"$rundir/mariadbd.pid"
    for _ in $(seq 1 120); do
        if mariadb-admin --no-defaults --socket="$rundir/mariadb.sock" -u"$(id -un)" ping >/dev/null 2>&1; then
            return 0
        fi
        if ! kill -0 "$(cat "$rundir/mariadbd.pid")" 2>/dev/null; then break; fi
        sleep 0.5
    done
    log "MariaDB did not start; its log follows"
    cat "$rundir/mariadb.err" >&2 || true
    return 1
}

# db_admin RUNDIR [mariadb args...]: the server's administrator over its socket.
db_admin() {
    local rundir=$1
    shift
    mariadb --no-defaults --socket="$rundir/mariadb.sock" -u"$(id -un)" "$@"
}

# db_schema RUNDIR: the account, database, table and view (idempotent).
db_schema() {
    db_admin "$1" <"$VORNIK_ROOT/database/schema.sql"
    db_admin "$1" <"$VORNIK_ROOT/database/account.sql"
}

db_stop() {
    local rundir=$1 pid
    pid=$(cat "$rundir/mariadbd.pid" 2>/dev/null) || return 0
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 60); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.5
    done
    kill -9 "$pid" 2>/dev/null || true
}

# Starts a throwaway server in a temporary folder, stopped (by its pid) when the calling shell exits.
# Exports VORNIK_TEST_DB_PORT and VORNIK_TEST_DB_HOST.
start_throwaway_db() {
    VORNIK_DB_TMP=$(mktemp -d /tmp/vornik-db.XXXXXX)
    trap 'db_stop "$VORNIK_DB_TMP/run"; rm -rf "$VORNIK_DB_TMP"' EXIT
    db_init "$VORNIK_DB_TMP/data"
    local port
    port=$(free_port)
    db_start "$VORNIK_DB_TMP/data" "$VORNIK_DB_TMP/run" "$port"
    db_schema "$VORNIK_DB_TMP/run"
    export VORNIK_TEST_DB_HOST=127.0.0.1 VORNIK_TEST_DB_PORT=$port
    log "throwaway MariaDB at 127.0.0.1:$port (data in $VORNIK_DB_TMP)"
}
