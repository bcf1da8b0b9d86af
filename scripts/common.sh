# Sourced by the scripts: configuring a preset, and timing stages.

# Configures a preset, quietly (quick on a configured folder); a folder made
# by another generator is made anew.
sfx_configure() {
  local preset=$1 dir=build/$1
  shift
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
  fi
  cmake --preset "$preset" "$@" >"${TMPDIR:-/tmp}/sfx-configure-$preset.log" 2>&1 || {
    cat "${TMPDIR:-/tmp}/sfx-configure-$preset.log" >&2
    return 1
  }
}

# Stage times: sfx_stage NAME starts a stage (ending the one before);
# sfx_stages prints them all.
SFX_STAGES=()
SFX_STAGE_NAME=""
SFX_STAGE_START=$SECONDS
sfx_stage() {
  if [ -n "$SFX_STAGE_NAME" ]; then
    SFX_STAGES+=("$(printf '%6d s  %s' $((SECONDS - SFX_STAGE_START)) "$SFX_STAGE_NAME")")
  fi
  SFX_STAGE_NAME=$1
  SFX_STAGE_START=$SECONDS
}
sfx_stages() {
  sfx_stage ""
  printf '%s\n' "${SFX_STAGES[@]}"
}
