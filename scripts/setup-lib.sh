# What scripts/setup is made of that its test (tests/setup/mirror-mid-sync) runs too: its way of
# failing, and its apt transactions, which get through a Debian mirror in mid-sync. Sourced; the
# caller sets $log, a file that collects what the commands printed.

# fail WHAT HINT...: says what failed and what to do about it, then ends the run.
fail() {
    echo "setup: $1" >&2
    shift
    local hint
    for hint in "$@"; do
        echo "setup:   $hint" >&2
    done
    if [ -s "$log" ]; then
        echo "setup: what it printed last (warnings and errors first):" >&2
        { grep -E '^(W|E|Err):' "$log" | head -n 10; tail -n 5 "$log"; } | sed 's/^/setup:   | /' >&2
    fi
    exit 1
}

# quietly COMMAND...: runs COMMAND with its output added to the log, which fail shows.
quietly() {
    "$@" >>"$log" 2>&1
}

apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -y -q "$@"
}

# install_missing PACKAGE...: installs them from the machine's Debian mirror, or fails saying why.
install_missing() {
    echo "setup: installing $*"
    apt_install --no-install-recommends "$@" ||
        fail "apt-get install failed" \
            "check that this machine reaches its package mirror (warnings of apt-get update below)" \
            "and that no other package manager holds the lock, then run this again"
}

# apt_install ARGUMENT...: apt-get update, then apt-get install ARGUMENT...; returns non-zero when
# the install fails. A mirror in mid-sync serves some indexes of a suite that its Release file does
# not describe yet: apt-get update fails on them and keeps the whole suite as it was. The update is
# tried $ZT_APT_TRIES times, $ZT_APT_PAUSE seconds apart; when it still fails on indexes only, this
# install runs without their suites, so that every architecture comes from suites that agree. The
# machine's sources are left as they are.
apt_install() {
    local tries=${ZT_APT_TRIES:-3} pause=${ZT_APT_PAUSE:-5} try output updated=false failed=()
    output=$(mktemp "${TMPDIR:-/tmp}/zt-apt.XXXXXX")
    for ((try = 1; ; try++)); do
        apt_get update >"$output" 2>&1 && updated=true
        cat "$output" >>"$log"
        $updated && break
        mapfile -t failed < <(failed_indexes "$output")
        if [ "${#failed[@]}" -eq 0 ]; then
            rm -f "$output"
            fail "apt-get update failed" \
                "check that this machine reaches its package mirror (/etc/apt/sources.list*)"
        fi
        [ "$try" -lt "$tries" ] || break
        sleep "$pause"
    done
    rm -f "$output"
    if $updated; then
        quietly apt_get install "$@"
    else
        install_holding_out "$try" "${failed[@]}" -- "$@"
    fi
}

# failed_indexes FILE: for apt-get update's output in FILE, prints "SUITE URL REASON" for each index
# that failed, or nothing when anything else failed too (a Release file, a signature, the network).
failed_indexes() {
    local line found=() index='/dists/([^ ]+)/[^/ ]+/(binary-[^/ ]+|source|i18n|dep11)/'
    local fetch="^E: Failed to fetch ([^ ]+${index}[^ ]*)( +(.*))?\$"
    while IFS= read -r line; do
        if [[ $line =~ $fetch ]]; then
            found+=("${BASH_REMATCH[2]} ${BASH_REMATCH[1]} ${BASH_REMATCH[5]% \[IP:*}")
        elif [[ $line == E:* && $line != "E: Some index files failed to download."* ]]; then
            return 0
        fi
    done <"$1"
    [ "${#found[@]}" -eq 0 ] || printf '%s\n' "${found[@]}"
}

# install_holding_out TRIES FAILED... -- ARGUMENT...: apt-get install ARGUMENT... without the suites
# of the FAILED indexes ("SUITE URL REASON"), after saying so. Fails when it cannot install, naming
# the installed packages it needs at versions that only the held-out suites may have.
install_holding_out() {
    local tries=$1 suites=() indexes="" held suite url reason sources options blockers
    shift
    while [ "$1" != -- ]; do
        read -r suite url reason <<<"$1"
        indexes+="${indexes:+; }$url${reason:+: $reason}"
        [[ " ${suites[*]} " == *" $suite "* ]] || suites+=("$suite")
        shift
    done
    shift
    held=$(printf '%s\n' "${suites[@]}" | paste -sd, - | sed 's/,/, /g')
    sources=$(mktemp -d "${TMPDIR:-/tmp}/zt-apt-sources.XXXXXX")
    sources_without "$sources" "${suites[@]}"
    options=(-o "Dir::Etc::sourcelist=$sources/sources.list"
             -o "Dir::Etc::sourceparts=$sources/sources.list.d"
             -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
    if ! apt-get "${options[@]}" indextargets --format 'index of $(SUITE)' |
            grep '^index of ' >/dev/null; then
        rm -rf "$sources"
        fail "apt-get update failed on the indexes of every suite: none is left to install from" \
            "if the mirror is in mid-sync, wait until it has finished, then run this again"
    fi
    echo "setup: apt-get update failed $tries times on an index (a mirror in mid-sync?): $indexes"
    echo "setup: installing without $held this once; the machine's sources are unchanged, and" \
        "apt-get upgrade brings its updates once the mirror is whole"
    # No removals: packages installed from a held-out suite look as if no suite had them.
    if apt_get "${options[@]}" install --no-remove "$@" >"$sources/install.log" 2>&1; then
        cat "$sources/install.log" >>"$log"
        rm -rf "$sources"
        return 0
    fi
    cat "$sources/install.log" >>"$log"
    blockers=$(installed_elsewhere "$sources/install.log" "${options[@]}" |
        awk '{ printf "%s%s (%s)", (NR > 1 ? ", " : ""), $1, $2 }')
    rm -rf "$sources"
    if [ -n "$blockers" ]; then
        fail "cannot install without $held: no other suite has the installed version of $blockers" \
            "it came from $held, presumably: wait until the mirror has finished its sync" \
            "(apt-get update succeeds), then run this again"
    fi
    fail "apt-get install failed without $held" \
        "wait until the mirror has finished its sync (apt-get update succeeds), then run this" \
        "again; if it fails then, check that no other package manager holds the lock"
}

# sources_without DIR SUITE...: writes the sources apt is configured with, less every entry of
# the SUITEs, to DIR/sources.list and DIR/sources.list.d/, one-line and deb822 files alike.
sources_without() {
    local dir=$1 list parts file
    shift
    eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
    mkdir -p "$dir/sources.list.d"
    : >"$dir/sources.list"
    [ ! -f "$list" ] || one_line_without "$*" <"$list" >"$dir/sources.list"
    for file in "$parts"*.list; do
        [ ! -f "$file" ] || one_line_without "$*" <"$file" >"$dir/sources.list.d/${file##*/}"
    done
    for file in "$parts"*.sources; do
        [ ! -f "$file" ] || deb822_without "$*" <"$file" >"$dir/sources.list.d/${file##*/}"
    done
}

# one_line_without "SUITE...": comments out the lines of a one-line sources file that name a SUITE.
one_line_without() {
    awk -v held=" $1 " '{
        entry = $0
        sub(/#.*/, "")
        sub(/\[[^]]*\]/, "")
        if ($1 ~ /^deb(-src)?$/ && index(held, " " $3 " ")) entry = "# held out: " entry
        print entry
    }'
}

# deb822_without "SUITE...": drops the SUITEs from each stanza of a deb822 sources file, and the
# stanzas left with none.
deb822_without() {
    awk -v held=" $1 " '
        function keep(value,   n, word, i) {
            n = split(value, word, /[ \t]+/)
            for (i = 1; i <= n; i++)
                if (word[i] != "" && !index(held, " " word[i] " ")) kept = kept " " word[i]
        }
        function flush(   i) {
            if (!named || kept != "")
                for (i = 1; i <= n; i++) print (line[i] == "\001" ? "Suites:" kept : line[i])
            if (n) print ""
            n = named = continued = 0
            kept = ""
        }
        /^[ \t]*$/ { flush(); next }
        continued && /^[ \t]/ { keep($0); next }
        { continued = 0 }
        tolower($0) ~ /^suites:/ {
            named = continued = 1
            sub(/^[^:]*:/, "")
            keep($0)
            line[++n] = "\001"
            next
        }
        { line[++n] = $0 }
        END { flush() }'
}

# installed_elsewhere FILE OPTION...: of the packages that apt-get install's output in FILE names as
# unmet or to be removed, prints "PACKAGE VERSION" for those installed at a version that no suite
# of apt's sources (with the OPTIONs) has.
installed_elsewhere() {
    local file=$1 names
    shift
    mapfile -t names < <(awk '
        /^The following packages will be REMOVED:/ { removed = 1; next }
        removed && /^  / { for (i = 1; i <= NF; i++) { sub(/\*$/, "", $i); print $i }; next }
        { removed = 0 }
        /have unmet dependencies:/ { unmet = 1; next }
        /^E:/ { unmet = 0 }
        unmet && /^ [^ ]/ { print $1 }
        unmet {
            for (i = 1; i < NF; i++)
                if ($i ~ /^((Pre)?Depends|Breaks|Conflicts):$/) print $(i + 1)
        }
        ' "$file" | grep -E '^[a-z0-9][a-z0-9+.-]+(:[a-z0-9-]+)?$' | sort -u)
    [ "${#names[@]}" -gt 0 ] || return 0
    apt-cache "$@" policy "${names[@]}" | awk '
        function report() {
            if (installed != "" && installed != "(none)" && !offered) print name, installed
        }
        /^[^ ].*:$/ {
            report()
            name = substr($0, 1, length($0) - 1)
            installed = ""
            offered = current = 0
        }
        /^  Installed: / { installed = $2 }
        /^ \*\*\* / { current = 1; next }
        /^     [^ ]/ { current = 0 }
        current && /^        / && $2 !~ /^\// { offered = 1 }
        END { report() }'
}
