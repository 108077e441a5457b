# Sourced by the wheel scripts: python_for 3.12 prints the newest patch release of
# that CPython among pyenv's versions, or nothing.
PYENV_VERSIONS=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")/versions
python_for() {
  local p
  for p in "$PYENV_VERSIONS/$1".*/bin/python3; do
    [[ -x $p && ${p#"$PYENV_VERSIONS/$1."} =~ ^[0-9]+/ ]] && echo "$p"
  done | sort -V | tail -n 1
}
