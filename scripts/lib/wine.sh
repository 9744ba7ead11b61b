# Sourced by the commands in scripts/, the build's in-wine.sh and some
# tests: a Wine prefix of the build's own (never ~/.wine), and running
# Windows programs.
. "$(dirname "${BASH_SOURCE[0]}")/progress.sh"
. "$(dirname "${BASH_SOURCE[0]}")/languages.sh"

#   use_wine_prefix <folder> [win32|win64]
# A 32-bit Windows unless win64 (a 64-bit Windows, on which 32-bit programs
# run under WOW64).
use_wine_prefix() {
    export WINEPREFIX="$1" WINEARCH="${2:-win32}" WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    [ ! -f "$WINEPREFIX/system.reg" ] || return 0
    # In the VM every run starts with empty prefixes, and making one
    # takes minutes there: a new prefix is kept in the VM's cache, and later
    # runs start from a copy of it in the VM's memory. (A layer over the kept
    # one instead of a copy made the tests that write many files two to
    # three times slower: each new name is looked up in the folder outside.)
    local kept=
    if [ -n "${VM_PREFIX_CACHE:-}" ]; then
        kept="$VM_PREFIX_CACHE/$WINEARCH-$(wine --version | tr -c 'A-Za-z0-9.\n-' _).tar"
        if [ -f "$kept" ]; then
            phase "copying the Wine prefix $WINEPREFIX ($WINEARCH) from the VM's cache"
            mkdir -p "$WINEPREFIX"
            tar -xf "$kept" -C "$WINEPREFIX"
            return
        fi
    fi
    phase "creating the Wine prefix $WINEPREFIX ($WINEARCH)"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    if [ -n "$kept" ]; then
        # (Two PCs may make one at once, with the same process numbers.)
        local part="$kept.$$.$RANDOM"
        tar -cf "$part" -C "$WINEPREFIX" . && mv "$part" "$kept" || rm -f "$part"
    fi
}

# Fonts for windows that people look at (the demo, the screenshots): the
# dialog fonts of cmake/Languages.cmake render on a machine without them
# (Wine looks for them by name; the WenQuanYi font stands in), and the
# caption buttons get their glyphs (Wine draws them with its own Marlett
# font, which it does not load from its data folder here: a copy goes into
# the prefix's Fonts folder).
use_display_fonts() {
    local key='HKCU\Software\Wine\Fonts\Replacements'
    local font
    while read -r font; do
        wine reg add "$key" /v "$font" /d "WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1
    done < <(dialog_fonts)
    local marlett=/usr/share/wine/fonts/marlett.ttf
    if [ -f "$marlett" ]; then
        cp -f "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
}

# Whether this machine runs 32-bit x86 programs, as Wine's 32-bit loader
# (and so every 32-bit Windows program) is one. A kernel without 32-bit
# emulation refuses them ("Exec format error").
can_run_32bit() {
    wine --version >/dev/null 2>&1
}

# Starts a wineserver that stays until `wineserver -k`, and Wine's own
# programs (the desktop, the services) with it, their output going nowhere:
# one of them that outlived a command would hold that command's output pipe
# open, and a `wine ... | tr` would never end.
start_wineserver() {
    wineserver -p || true  # already running: fine
    wine cmd /c exit >/dev/null 2>&1 </dev/null
}

# Whether this shell runs inside the display of continue_in_xvfb.
in_xvfb() {
    [ "${IN_XVFB:-}" = 1 ]
}

#   continue_in_xvfb <width>x<height>x<depth> -- "$0" "$@"
# For a command whose Windows programs need a display of their own (the
# demo, the bench, the screenshots): runs the calling command again inside
# Xvfb, with IN_XVFB=1 there (in_xvfb), and exits with its status. Inside
# it, returns, and the command goes on. Call it after continue_in_vm, so
# that where the VM runs the programs the display is the VM's.
continue_in_xvfb() {
    in_xvfb && return 0
    local screen=$1
    shift 2
    IN_XVFB=1 exec xvfb-run -a -s "-screen 0 $screen" "$@"
}

# Runs a Windows program quietly and strips the carriage returns.
winrun() {
    wine "$@" 2>/dev/null | tr -d '\r'
}
