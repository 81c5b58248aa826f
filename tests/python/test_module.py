"""The module's surface: docstring, version, functions, signatures, exports."""

from __future__ import annotations

import shutil
import subprocess
import types

import numpy as np
import pytest

import pxvorel._px as px

ARRAY_IN = "typing.Annotated[numpy.typing.ArrayLike, numpy.float32]"
ARRAY_OUT = "numpy.typing.NDArray[numpy.float32]"
FLOAT = "typing.SupportsFloat | typing.SupportsIndex"
INT = "typing.SupportsInt | typing.SupportsIndex"
INTS = "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"
FLOATS = "collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]"

FUNCTIONS = {
    "_calibrate_gaussian": (f"(arg0: {ARRAY_IN}) -> float", "pxvorel gaussian noise std estimation"),
    "_calibrate_poisson_gaussian": (f"(arg0: {ARRAY_IN}) -> list[list[float]]", "pxvorel noise estimation"),
    "_denoise_gaussian": (
        f"(arg0: {ARRAY_IN}, arg1: {FLOAT}, arg2: {INTS}, arg3: {INTS}, arg4: {INT}, arg5: {FLOAT}, "
        f"arg6: {INT}, arg7: {FLOAT}) -> {ARRAY_OUT}",
        "pxvorel denoising",
    ),
    "_denoise_poisson_gaussian": (
        f"(arg0: {ARRAY_IN}, arg1: {FLOAT}, arg2: {FLOATS}, arg3: {FLOATS}, arg4: {INTS}, arg5: {INTS}, "
        f"arg6: {INT}, arg7: {FLOAT}, arg8: {INT}, arg9: {FLOAT}) -> {ARRAY_OUT}",
        "pxvorel denoising",
    ),
    "test": (f"(arg0: {ARRAY_IN}) -> {ARRAY_OUT}", "pxvorel test"),
    "_pseudoresiduals": (f"(arg0: {ARRAY_IN}) -> None", "pxvorel pseudoresiduals"),
}


def test_version_and_docstring() -> None:
    assert px.__version__ == "dev"
    lines = px.__doc__.split("\n")
    assert len(lines) == 18
    assert lines[:16] == [
        "",
        "        pxvorel 4.0 denoising",
        "        ---------------------",
        "",
        "        .. currentmodule:: pxvorel",
        "",
        "        .. autosummary::",
        "           :toctree: _generate",
        "",
        "           _calibrate_gaussian",
        "           _denoise_gaussian",
        "           _calibrate_poisson_gaussian",
        "           _denoise_poisson_gaussian",
        "",
        "        .. rubric:: Reference",
        "        ",
    ]
    assert lines[16].startswith("        .. ") and len(lines[16]) > len("        .. ")
    assert lines[17] == "    "


def test_functions_in_registration_order() -> None:
    names = [name for name, value in vars(px).items() if isinstance(value, types.BuiltinFunctionType)]
    assert names == list(FUNCTIONS)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_rendered_signature_and_docstring(name: str) -> None:
    signature, doc = FUNCTIONS[name]
    assert getattr(px, name).__doc__ == f"{name}{signature}\n\n{doc}\n"


@pytest.mark.parametrize(
    "call",
    [
        lambda: px.test(arg0=np.zeros(3, np.float32)),
        lambda: px.test(),
        lambda: px.test(np.zeros(3, np.float32), 1),
        lambda: px._denoise_gaussian(np.zeros((8, 8), np.float32), 1.0, [1] * 5, [1] * 5, 4.0, 0.01, 1, 0.0),
        lambda: px._denoise_gaussian(np.zeros((8, 8), np.float32), 1.0, "12345", [1] * 5, 4, 0.01, 1, 0.0),
        lambda: px.test(object()),
    ],
    ids=["keyword", "too-few", "too-many", "float-for-int", "string-for-list", "not-an-array"],
)
def test_bad_calls_raise_type_error(call) -> None:
    with pytest.raises(TypeError):
        call()


def test_only_entry_and_print_shape_are_exported() -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", "-C", px.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = sorted(line.split(" ", 2)[2] for line in listing.splitlines())
    assert symbols == ["PyInit__px", "print_shape(px::array const&)"]
