# Shared by scripts/test, scripts/run and scripts/bench: packages, build, and MariaDB servers.
# Sourced, not run.

VORNIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Exported, so the shell of `scripts/test --db-shell` knows where the test binaries are.
export VORNIK_BUILD=${VORNIK_BUILD:-$VORNIK_ROOT/build}
VORNIK_PACKAGES=(build-essential dpkg-dev cmake pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev
                 libmariadb-dev libssl-dev mariadb-server mariadb-client fonts-noto-cjk
                 # remembered passwords: QtKeychain, and libsecret, which it loads at run time
                 qtkeychain-qt6-dev libsecret-1-0
                 # C++20 coroutines over Qt's event loop
                 qcoro-qt6-dev
                 # the secret store test: a D-Bus session of its own with GNOME Keyring in it
                 dbus-daemon dbus-bin gnome-keyring
                 # the end-to-end test: X server, window manager, input, keymap, clipboard, screenshots
                 xvfb openbox xdotool x11-utils x11-xserver-utils xclip imagemagick
                 # the transport test: the certificates of its TLS servers
                 openssl
                 # the cluster tests: Galera, and what its state transfer runs (rsync, ss)
                 galera-4 rsync iproute2)

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

# free_port [ADDRESS...]: a port nothing answers on at any of the addresses (default 127.0.0.1).
free_port() {
    local p a taken
    for _ in $(seq 1 200); do
        p=$((20000 + RANDOM % 20000))
        taken=
        for a in "${@:-127.0.0.1}"; do
            if (exec 3<>"/dev/tcp/$a/$p") 2>/dev/null; then taken=1; break; fi
        done
        [ -z "$taken" ] && { echo "$p"; return 0; }
    done
    return 1
}

# on_exit COMMAND: evaluates COMMAND when the shell exits, also on Ctrl+C or kill; the last added runs
# first, so what was started last is stopped first.
VORNIK_ON_EXIT=()
on_exit() {
    VORNIK_ON_EXIT=("$1" "${VORNIK_ON_EXIT[@]}")
    trap 'for c in "${VORNIK_ON_EXIT[@]}"; do eval "$c" || true; done' EXIT
    trap 'exit 130' INT TERM
}

mariadbd_bin() { command -v mariadbd || echo /usr/sbin/mariadbd; }

# db_init DATADIR: a fresh data folder (table names resolved without regard to case).
db_init() {
    local datadir=$1
    mkdir -p "$datadir"
    local userarg=()
    [ "$(id -u)" -eq 0 ] && userarg=(--user=root)
    # A temporary folder of its own: a server that starts deletes every "#sql" file in its tmpdir, so
    # servers sharing /tmp lose each other's temporary tables (a bootstrap its mysql.tmp_proxies_priv,
    # a search its sort). Once more from scratch when it fails all the same.
    local attempt
    for attempt in 1 2; do
        mkdir -p "$datadir.tmp"
        mariadb-install-db --no-defaults "${userarg[@]}" --datadir="$datadir" --tmpdir="$datadir.tmp" \
            --lower-case-table-names=1 --skip-test-db --auth-root-authentication-method=socket \
            >"$datadir.install.log" 2>&1 && return 0
        [ "$attempt" -eq 1 ] && { rm -rf "$datadir"; mkdir -p "$datadir"; }
    done
    cat "$datadir.install.log" >&2
    return 1
}

# db_start DATADIR RUNDIR PORT [SERVER OPTIONS...]: starts mariadbd in the background on 127.0.0.1:PORT
# (with any further options, e.g. --init-connect=...); waits until it answers.
db_start() {
    local datadir=$1 rundir=$2 port=$3
    shift 3
    mkdir -p "$rundir" "$rundir/tmp" # tmpdir: see db_init
    local userarg=()
    [ "$(id -u)" -eq 0 ] && userarg=(--user=root)
    "$(mariadbd_bin)" --no-defaults "${userarg[@]}" --datadir="$datadir" --socket="$rundir/mariadb.sock" \
        --tmpdir="$rundir/tmp" \
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

# db_tls_files DIR [NAMES]: a CA (DIR/ca.pem) and a server certificate it signed (DIR/server.pem, its key
# DIR/server.key) for NAMES (subjectAltName entries; default localhost and 127.0.0.1), made with openssl
# the first time. db_tls_options DIR: mariadbd's options to serve TLS with them.
db_tls_files() {
    local dir=$1 names=${2:-DNS:localhost,IP:127.0.0.1}
    mkdir -p "$dir"
    [ -s "$dir/server.pem" ] && return 0
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=vornik-test-ca \
        -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>"$dir/openssl.log" &&
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=vornik-test-server \
            -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -addext basicConstraints=CA:FALSE \
            -addext "subjectAltName=$names" -keyout "$dir/server.key" -out "$dir/server.pem" 2>>"$dir/openssl.log" || {
        cat "$dir/openssl.log" >&2
        return 1
    }
}
db_tls_options() { echo "--ssl-cert=$1/server.pem --ssl-key=$1/server.key --ssl-ca=$1/ca.pem"; }

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

# Starts a throwaway server in a temporary folder, stopped (by its pid) when the calling shell exits;
# any arguments are added to the server's options. It serves TLS, as a team's server does, with a
# certificate for localhost and 127.0.0.1 signed by a CA made at start. Exports VORNIK_TEST_DB_PORT,
# VORNIK_TEST_DB_HOST and VORNIK_TEST_DB_CA (the CA's file).
start_throwaway_db() {
    VORNIK_DB_TMP=$(mktemp -d /tmp/vornik-db.XXXXXX)
    on_exit 'db_stop "$VORNIK_DB_TMP/run"; rm -rf "$VORNIK_DB_TMP"'
    db_init "$VORNIK_DB_TMP/data"
    db_tls_files "$VORNIK_DB_TMP/tls"
    local port
    port=$(free_port)
    # shellcheck disable=SC2046
    db_start "$VORNIK_DB_TMP/data" "$VORNIK_DB_TMP/run" "$port" $(db_tls_options "$VORNIK_DB_TMP/tls") "$@"
    db_schema "$VORNIK_DB_TMP/run"
    export VORNIK_TEST_DB_HOST=127.0.0.1 VORNIK_TEST_DB_PORT=$port VORNIK_TEST_DB_CA=$VORNIK_DB_TMP/tls/ca.pem
    log "throwaway MariaDB at 127.0.0.1:$port with TLS (CA $VORNIK_TEST_DB_CA, data in $VORNIK_DB_TMP)"
}

# A MariaDB Galera cluster of three nodes on this machine, for tests of what a team's cluster does to
# the program. Node N (1..3) listens on its own loopback address 127.0.0.N, all on the same ports, so a
# host name that resolves to the three addresses reaches every node with one port setting. DIR holds
# the ports (DIR/ports: SQL, group communication, IST, SST) and each node's data (DIR/nN/data) and run
# folder (DIR/nN/run, with its log mariadb.err); clients reach the nodes over TLS (DIR/tls/ca.pem).

cluster_address() { echo "127.0.0.$1"; }

# cluster_ports DIR: the four ports, each checked free on all three addresses (chosen once per DIR).
cluster_ports() {
    local dir=$1 p ports=()
    if [ ! -s "$dir/ports" ]; then
        while [ ${#ports[@]} -lt 4 ]; do
            p=$(free_port 127.0.0.1 127.0.0.2 127.0.0.3) || return 1
            [[ " ${ports[*]} " == *" $p "* ]] || ports+=("$p")
        done
        echo "${ports[*]}" >"$dir/ports"
    fi
    cat "$dir/ports"
}

# cluster_sql DIR N [mariadb args...]: node N's administrator, over its socket.
cluster_sql() {
    local dir=$1 n=$2
    shift 2
    db_admin "$dir/n$n/run" "$@"
}

cluster_status() { cluster_sql "$1" "$2" -N -e "show status like '$3'" 2>/dev/null | cut -f2; }

# cluster_node_start DIR N [SERVER OPTIONS...]: starts node N, which joins the cluster (fetching what it
# missed: the writes since it left by IST, or a copy of a donor's data by rsync); waits until it is
# synced with the others. Node 1's first start passes --wsrep-new-cluster.
cluster_node_start() {
    local dir=$1 n=$2 sql gcomm ist sst
    shift 2
    read -r sql gcomm ist sst <"$dir/ports"
    local me members=() i
    me=$(cluster_address "$n")
    for i in 1 2 3; do members+=("$(cluster_address "$i"):$gcomm"); done
    mkdir -p "$dir/n$n/data"
    # Run as root, the rsync daemon that receives a copy switches to the user nobody: it must be able
    # to reach and write the data folder.
    if [ "$(id -u)" -eq 0 ]; then
        chmod 755 "$dir" "$dir/n$n"
        chown nobody "$dir/n$n/data"
    fi
    # shellcheck disable=SC2046
    db_start "$dir/n$n/data" "$dir/n$n/run" "$sql" --bind-address="$me" $(db_tls_options "$dir/tls") \
        --innodb-buffer-pool-size=64M --wsrep-on=ON --wsrep-provider=/usr/lib/galera/libgalera_smm.so \
        --wsrep-cluster-name=vornik-test --wsrep-cluster-address="gcomm://$(IFS=,; echo "${members[*]}")" \
        --wsrep-node-name="node$n" --wsrep-node-address="$me:$gcomm" --wsrep-sst-method=rsync \
        --wsrep-sst-receive-address="$me:$sst" \
        --wsrep-provider-options="gmcast.listen_addr=tcp://$me:$gcomm;ist.recv_addr=$me:$ist;gcache.size=64M" \
        --binlog-format=ROW --innodb-autoinc-lock-mode=2 --default-storage-engine=InnoDB "$@" || return 1
    for _ in $(seq 1 120); do
        # 4: synced, taking writes and applying the others'.
        [ "$(cluster_status "$dir" "$n" wsrep_ready)" = ON ] &&
            [ "$(cluster_status "$dir" "$n" wsrep_local_state)" = 4 ] && return 0
        sleep 0.5
    done
    log "cluster node $n did not become ready; its log follows"
    tail -n 40 "$dir/n$n/run/mariadb.err" >&2 || true
    return 1
}

# cluster_same DIR SQL: whether every running node gives the same answer to SQL (one SELECT), each
# after applying every write committed anywhere before it; the answers on standard output.
cluster_same() {
    local dir=$1 n answers=()
    for n in 1 2 3; do
        [ -S "$dir/n$n/run/mariadb.sock" ] || continue
        answers+=("$(cluster_sql "$dir" "$n" -N -e "set session wsrep_sync_wait=1; $2")") || return 1
        echo "node $n: ${answers[-1]}"
    done
    [ ${#answers[@]} -gt 0 ] && [ "$(printf '%s\n' "${answers[@]}" | sort -u | wc -l)" -eq 1 ]
}

# cluster_node_stop DIR N: stops node N (by its pid); the others go on as a cluster of two.
cluster_node_stop() { db_stop "$1/n$2/run"; }

# cluster_stop DIR: stops every node that runs, by its pid, all at once.
cluster_stop() {
    local n stopping=()
    for n in 1 2 3; do
        db_stop "$1/n$n/run" &
        stopping+=($!)
    done
    # Only these: a bare wait would also wait for every server this shell started.
    wait "${stopping[@]}"
}

# cluster_start DIR: initialises and starts the three nodes (node 1 starts the cluster, the others join
# it), waits until all three are synced in one cluster, loads the schema, the account and the sample
# records once (they replicate) and checks that each node has them. On failure the nodes' logs are in
# DIR/n*/run/mariadb.err.
cluster_start() {
    local dir=$1 n sql count counts=()
    mkdir -p "$dir"
    sql=$(cluster_ports "$dir" | cut -d' ' -f1) || return 1
    # Clients reach every node over TLS, with one certificate for the nodes' addresses and their name.
    db_tls_files "$dir/tls" DNS:localhost,DNS:vornik-cluster,IP:127.0.0.1,IP:127.0.0.2,IP:127.0.0.3 || return 1
    db_init "$dir/n1/data" || return 1
    cluster_node_start "$dir" 1 --wsrep-new-cluster || return 1
    for n in 2 3; do cluster_node_start "$dir" "$n" || return 1; done
    db_schema "$dir/n1/run" && cluster_sql "$dir" 1 <"$VORNIK_ROOT/database/samples.sql" || return 1
    for n in 1 2 3; do
        # Through the node's own address with the built-in account, as a client would; the read
        # waits until the node has applied what the others committed before it.
        count=$(mariadb --no-defaults -h"$(cluster_address "$n")" -P"$sql" -uqelmorand -p40628173 qelmorand \
            -N -e "set session wsrep_sync_wait=1; select variable_value from information_schema.global_status
                   where variable_name='wsrep_cluster_size'; select count(*) from VW_SearchTxt_Name" | tr '\n' ' ')
        counts+=("$count")
        if [ "${count%% *}" != 3 ] || [ "$count" != "${counts[0]}" ] || [ "$(echo "$count" | cut -d' ' -f2)" -lt 1 ]; then
            log "cluster node $n: cluster size and records \"$count\", node 1: \"${counts[0]}\""
            return 1
        fi
    done
}

# Starts a throwaway cluster in a temporary folder, stopped (every node by its pid) when the calling
# shell exits, its nodes' logs kept in $VORNIK_BUILD/cluster-logs. Exports VORNIK_TEST_CLUSTER_PORT,
# VORNIK_TEST_CLUSTER_ADDRESSES and VORNIK_TEST_CLUSTER_DIR.
start_test_cluster() {
    VORNIK_CLUSTER_TMP=$(mktemp -d /tmp/vornik-cluster.XXXXXX)
    on_exit 'cluster_stop "$VORNIK_CLUSTER_TMP"; mkdir -p "$VORNIK_BUILD/cluster-logs";
             for n in 1 2 3; do cp "$VORNIK_CLUSTER_TMP/n$n/run/mariadb.err" "$VORNIK_BUILD/cluster-logs/node$n.err" 2>/dev/null; done;
             rm -rf "$VORNIK_CLUSTER_TMP"'
    local began=$SECONDS
    cluster_start "$VORNIK_CLUSTER_TMP" || return 1
    export VORNIK_TEST_CLUSTER_PORT VORNIK_TEST_CLUSTER_DIR=$VORNIK_CLUSTER_TMP \
        VORNIK_TEST_CLUSTER_ADDRESSES=127.0.0.1,127.0.0.2,127.0.0.3
    VORNIK_TEST_CLUSTER_PORT=$(cut -d' ' -f1 "$VORNIK_CLUSTER_TMP/ports")
    log "throwaway Galera cluster at 127.0.0.1-3:$VORNIK_TEST_CLUSTER_PORT, up in $((SECONDS - began)) s (data in $VORNIK_CLUSTER_TMP)"
}
