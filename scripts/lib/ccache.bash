# Sourced by the scripts that compile: when ccache is installed (scripts/install-deps --test brings it), every
# compile goes through it, so later lanes and runs reuse what an earlier one compiled to the same result.
# CORVANE_CCACHE=0 turns it off; a launcher already set in the environment is kept.
if [[ "${CORVANE_CCACHE:-1}" != 0 ]] && command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
