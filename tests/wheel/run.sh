#!/usr/bin/env bash
# tests/wheel/run.sh WHEEL [PYTHON]
#
# The Python tests against an installed wheel, each run in a fresh virtual environment
# of PYTHON (default: the host's python3) under build/wheel-venv-NAME:
#   core   the wheel with its core dependencies only: every test module but the tests marked
#          slow (which make test runs in the Python 3.14 environment; WHEEL_SLOW=1 runs them
#          here too); modules that need an extra's package are skipped, naming it
#          (tests/wheel/extras.py)
#   dask   pxvorel[dask]: the modules that import dask, zarr or distributed
#   plot   pxvorel[plot]: the modules that import matplotlib
#   demo   pxvorel[demo]: the modules that import scikit-image or matplotlib
# Besides the wheel and its dependencies each environment gets the test tools only
# (pytest, hypothesis, and scipy, which the tests' scenes use). The tests run from a copy
# of tests/python outside the checkout, so that the installed package is the one imported;
# each extra's environment runs its modules whole, slow tests included;
# the shared real images are linked beside the copy when present. WHEEL_VENVS="core dask"
# picks the environments; PYTEST_ARGS are passed on.
#
# Exit status 3, with a line saying why, when the package index cannot be reached (the
# test tools do not install).
set -euo pipefail
cd "$(dirname "$0")/../.."
checkout=$PWD
wheel=$(realpath "$1")
python=${2:-python3}
venvs=${WHEEL_VENVS:-core dask plot demo}
tools="pytest hypothesis scipy"

declare -A extra=([core]="" [dask]="[dask]" [plot]="[plot]" [demo]="[demo]")
declare -A needing=([core]="" [dask]="dask,zarr,distributed" [plot]="matplotlib" [demo]="skimage,matplotlib")
declare -A marks=([core]="not slow" [dask]="" [plot]="" [demo]="")
[ -z "${WHEEL_SLOW:-}" ] || marks[core]=""

copy=$(mktemp -d "${TMPDIR:-/tmp}/pxvorel-wheel-tests.XXXXXX")
trap 'rm -rf "$copy"' EXIT
mkdir -p "$copy/root/tests"
cp -r tests/python "$copy/root/tests/python"
cp tests/wheel/extras.py "$copy/root/tests/python/wheel_extras.py"
# tests/python/shared_data.py finds the shared folder beside the checkout holding tests/.
[ -d "$checkout/../shared" ] && ln -s "$(realpath "$checkout/../shared")" "$copy/shared"
# The pytest settings of pyproject.toml, less those that reach into the checkout (the
# docstring examples of python/, the benchmarks' own tests), plus the plugin.
"$python" - "$checkout/pyproject.toml" "$copy/root/pytest.ini" <<'PY'
import shlex, sys, tomllib
options = tomllib.load(open(sys.argv[1], "rb"))["tool"]["pytest"]["ini_options"]
addopts = [a for a in options["addopts"] if a != "--doctest-modules"] + ["-p", "wheel_extras"]
lines = ["[pytest]", "addopts = " + shlex.join(addopts), "pythonpath = tests/python",
         "markers =", *(f"    {m}" for m in options["markers"]),
         f"xfail_strict = {str(options['xfail_strict']).lower()}", "filterwarnings ="]
lines += [f"    {f}" for f in options["filterwarnings"]]
open(sys.argv[2], "w").write("\n".join(lines) + "\n")
PY

status=0
for name in $venvs; do
  venv=$checkout/build/wheel-venv-$name
  rm -rf "$venv"
  "$python" -m venv "$venv"
  # The test tools first, so that the wheel's own install is timed alone. (Lines about
  # this machine's unused local package folders are left out.)
  quiet() { "$venv/bin/python" -m pip install --quiet "$@" 2> >(grep -v "^WARNING: Location 'file:" >&2); }
  start=$SECONDS
  quiet $tools || { echo "wheel tests: SKIPPED: the package index cannot be reached ($tools)"; exit 3; }
  tools_took=$((SECONDS - start))
  start=$SECONDS
  quiet "pxvorel${extra[$name]} @ file://$wheel" || { echo "wheel tests [$name]: the wheel did not install" >&2; exit 1; }
  took=$((SECONDS - start))
  where=$(cd "$copy" && "$venv/bin/python" -c 'import pxvorel; print(pxvorel.__file__)')
  case "$where" in "$venv"/*) ;; *) echo "wheel tests: pxvorel imported from $where, not $venv" >&2; exit 1 ;; esac
  printf 'wheel tests [%s]: %s%s installed in %d s (the test tools before it in %d s)\n' "$name" \
    "$(basename "$wheel")" "${extra[$name]}" "$took" "$tools_took"
  set +e
  # As in an activated environment: the tests also start the installed command line.
  (cd "$copy/root" && PATH=$venv/bin:$PATH VIRTUAL_ENV=$venv python -m pytest -q -m "${marks[$name]}" \
    --needing="${needing[$name]}" ${PYTEST_ARGS:-} tests/python)
  result=$?
  set -e
  echo "wheel tests [$name]: pytest exit status $result"
  [ $result -eq 0 ] || status=1
done
exit $status
