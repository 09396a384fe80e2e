# Sourced by the measuring scripts (bench, soak, memcheck, shutdown): the optimised build they run.
#
#   optimised_build DIR TARGET...
#
# Configures DIR when it holds no build yet (build/release through its preset, any other folder as
# RelWithDebInfo with the benchmarks), then builds the targets. Warnings are the dev build's gate;
# an optimised build only has to build.
optimised_build() {
    local dir="$1"
    shift
    "$top/scripts/install-deps.sh" extras
    if [ "$dir" = "$top/build/release" ]; then
        cmake --preset release -DQUARIN_WERROR=OFF >/dev/null
    elif [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DQUARIN_BUILD_BENCH=ON -DQUARIN_WERROR=OFF >/dev/null
    fi
    cmake --build "$dir" --parallel 2 --target "$@" >/dev/null
}

# Qt wants a runtime folder, and a login session is not a given here. Removed on exit.
qt_runtime_dir() {
    if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
        XDG_RUNTIME_DIR="$(mktemp -d)"
        export XDG_RUNTIME_DIR
        # shellcheck disable=SC2064 # the folder is known now
        trap "rm -rf '$XDG_RUNTIME_DIR'" EXIT
    fi
}
