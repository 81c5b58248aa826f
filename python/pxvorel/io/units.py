"""Physical units of pixel sizes and frame intervals, converted with pint.

pxvorel keeps spatial pixel sizes (X, Y, Z) in micrometres and the frame interval (T)
in seconds. Files name their units in many ways (OME: ``µm``, ``nm``, ``ms``; ImageJ:
``micron``, ``um``, an escaped ``\\u00B5m``, ``sec``; OME-Zarr: ``micrometer``,
``millisecond``; TIFF resolution tags: inch, centimetre, ...); every conversion goes
through here.
"""

from __future__ import annotations

import functools
import logging
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pint

__all__ = ["MICROMETRE", "SECOND", "length_in_um", "time_in_s", "um_per"]

log = logging.getLogger(__name__)

#: The symbols of the units pxvorel keeps sizes in.
MICROMETRE = "µm"
SECOND = "s"

#: Names that mean "no physical unit" (ImageJ writes "pixel" when uncalibrated).
_NO_UNIT = {"", "pixel", "pixels", "px", "none"}


@functools.cache
def _registry() -> pint.UnitRegistry:
    """The one unit registry, made on first use: importing pint and building it takes about a second,
    which files in micrometres and seconds never pay."""
    import pint

    return pint.UnitRegistry()


def _clean(name: str) -> str:
    # ImageJ writes the micro sign escaped ("\\u00B5m"); OME may use the Greek mu.
    if "\\u" in name:
        name = name.encode("ascii", "backslashreplace").decode("unicode_escape")
    return name.strip()


def _factor(name: object, target: str, dimension: str) -> float | None:
    """How many `target` units one `name` is, or None when `name` is no unit of `dimension`."""
    if not isinstance(name, str) or _clean(name).lower() in _NO_UNIT:
        return None
    name = _clean(name)
    if name == target:
        return 1.0
    registry = _registry()
    try:
        quantity = registry.Quantity(1.0, name)
    except Exception:
        log.warning("unknown unit %r: sizes given in it are not taken as physical sizes", name)
        return None
    if quantity.dimensionality != registry.Quantity(1.0, target).dimensionality:
        log.warning("%r is not a unit of %s: sizes given in it are not taken as physical sizes", name, dimension)
        return None
    return float(quantity.to(target).magnitude)


def um_per(unit: object) -> float | None:
    """Micrometres in one `unit` (a length unit's name), or None when it names no length.

    Examples
    --------
    >>> um_per("nm"), um_per("micron"), um_per("inch"), um_per("pixel")
    (0.001, 1.0, 25400.0, None)
    """
    return _factor(unit, MICROMETRE, "length")


def length_in_um(value: float, unit: object) -> float | None:
    """`value` in `unit` as micrometres, or None when `unit` names no length."""
    factor = um_per(unit)
    return None if factor is None else value * factor


def time_in_s(value: float, unit: object) -> float | None:
    """`value` in `unit` as seconds, or None when `unit` names no time.

    Examples
    --------
    >>> time_in_s(500, "ms"), time_in_s(2, "min"), time_in_s(3, "sec")
    (0.5, 120.0, 3.0)
    """
    factor = _factor(unit, SECOND, "time")
    return None if factor is None else value * factor
