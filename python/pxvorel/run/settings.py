"""The engine's settings in the caller's terms: per-axis patch radii and search switches,
iterations, p-value, threads; validated before any work."""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal, get_args

import numpy as np

from pxvorel.core.axes import AxisPlan
from pxvorel.run.threads import current_threads

#: Patch half-size per axis; Z and T count only when the image has those axes (see
#: docs/decisions/0001-patch-radius-and-search-axes.md).
DEFAULT_PATCH_RADIUS = {"X": 2, "Y": 2, "Z": 1, "T": 1}
#: On a time-lapse (T > 1, no Z) the default radius in X and Y is 1: the smaller patch
#: follows moving objects better (see docs/decisions/0003-time-lapse-radius.md).
TIME_LAPSE_RADIUS = 1
#: Iterations and p-value of the default call. Where radius 1 with a higher p-value serves a
#: plane better (fine filaments, spots, natural images), the default call finds it per image
#: (:mod:`pxvorel.quality.tile_choice`; see docs/decisions/0002-iterations-and-p-value.md).
DEFAULT_ITERATIONS = 4
DEFAULT_PVALUE = 1e-5
#: Whether the search for similar patches extends along Z and T (it always does along X and
#: Y): neighbouring slices and frames hold similar patches.
DEFAULT_SEARCH = {"Z": True, "T": True}

#: How patches treat the channels: "joint", one patch spanning all channels (similarity
#: judged on all of them together), or "separate", every channel denoised on its own.
ChannelMode = Literal["joint", "separate"]
CHANNEL_MODES: tuple[ChannelMode, ...] = get_args(ChannelMode)
#: Channels are denoised separately by default: each finds the patches similar in itself,
#: where a joint patch helps only channels that show the same structures at similar noise
#: (see docs/decisions/0004-separate-channels.md).
DEFAULT_CHANNELS: ChannelMode = "separate"


def _integer(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise ValueError(f"{what} must be an integer, not {value!r}")
    return int(value)


def _patch_radius(value: int | Mapping[str, int] | None, plan: AxisPlan) -> dict[str, int]:
    """Per-axis radii: defaults shrunk to fit short axes, the caller's values checked to fit."""
    defaults = dict(DEFAULT_PATCH_RADIUS)
    if plan.size("T") > 1 and plan.size("Z") == 1:
        defaults.update(X=TIME_LAPSE_RADIUS, Y=TIME_LAPSE_RADIUS)
    radius = {axis: min(r, (plan.size(axis) - 1) // 2) for axis, r in defaults.items()}
    if value is None:
        return radius
    given: dict[str, object]
    if isinstance(value, Mapping):
        given = {str(k).upper(): v for k, v in value.items()}
    else:
        given = dict.fromkeys("XYZ", value)  # one number: the spatial axes, like scikit-image
    for axis, entry in given.items():
        if axis == "C":
            raise ValueError("patch_radius cannot be set for C: a patch always spans all channels")
        if axis not in radius:
            raise ValueError(f"patch_radius has unknown axis {axis!r}: use X, Y, Z or T")
        if isinstance(value, Mapping) and axis not in plan.axes:
            raise ValueError(f"patch_radius is given for {axis}, but the image has no {axis} axis (axes {plan.axes})")
        r = _integer(entry, f"patch_radius along {axis}")
        if r < 0:
            raise ValueError(f"patch_radius along {axis} cannot be negative (got {r})")
        size = plan.size(axis)
        if size > 1 and 2 * r + 1 > size:
            raise ValueError(f"a patch of radius {r} along {axis} ({2 * r + 1} samples) does not fit an axis of {size}")
        radius[axis] = r
    return radius


def _search(value: str | Mapping[str, bool] | None) -> dict[str, bool]:
    """Per-axis search switches from a string of axis letters or a mapping of axis to bool."""
    search = dict(DEFAULT_SEARCH)
    if value is None:
        return search
    if isinstance(value, str):
        letters = value.upper()
        unknown = set(letters) - set("XYZT")
        if unknown:
            raise ValueError(f"search_axes {value!r} has letters other than X, Y, Z and T")
        return {axis: axis in letters for axis in search}
    if not isinstance(value, Mapping):
        raise ValueError(f"search_axes must be a string such as 'XYT' or a mapping like {{'T': False}}, not {value!r}")
    for key, on in value.items():
        axis = str(key).upper()
        if axis in ("X", "Y") and not on:
            raise ValueError("the search for similar patches always extends along X and Y")
        if axis not in ("X", "Y", "Z", "T"):
            raise ValueError(f"search_axes has unknown axis {key!r}: use X, Y, Z or T (never C)")
        if axis in search:
            search[axis] = bool(on)
    return search


def _warn_of_single_sample_search(value: str | Mapping[str, bool] | None, plan: AxisPlan) -> None:
    """Warn when `search_axes` names Z or T where the image has a single plane or frame."""
    if value is None:
        return
    named = set(value.upper()) if isinstance(value, str) else {str(k).upper() for k, on in value.items() if on}
    idle = [axis for axis in "ZT" if axis in named and plan.size(axis) == 1]
    if idle:
        warnings.warn(
            f"search_axes names {' and '.join(idle)}, but the image has a single sample along "
            f"{'them' if len(idle) > 1 else 'it'} (axes {plan.axes}): the search cannot extend there",
            UserWarning,
            stacklevel=5,
        )


#: Which passes of the second stage follow the engine (:mod:`pxvorel.run.refine`): those of the
#: default setting, two passes after the finer setting on a plane, or wider blocks (on planes and
#: time-lapses; stacks have one kind).
StageVariant = Literal["default", "fine", "wide"]
#: The part of every squared pilot coefficient (in noise variances) that the second stage takes
#: for the engine's own error and does not trust, unless the default call chooses another
#: (:data:`pxvorel.quality.tile_choice.FLOORS`; see docs/decisions/0014-pilot-floor.md).
DEFAULT_FLOOR = 0.5
#: How :meth:`Settings.describe` names the second stage's passes after each variant.
STAGE_NOTE: dict[StageVariant, str] = {"default": "", "fine": " (two passes)", "wide": " (wide blocks)"}


@dataclass(frozen=True)
class Settings:
    """Validated engine settings in per-axis form."""

    patch_radius: dict[str, int]
    search: dict[str, bool]
    iterations: int
    pvalue: float
    renoise: float
    threads: int | None
    """None: the OpenMP thread count in force, left as it is."""
    refine: bool = True
    """Whether the second stage (:mod:`pxvorel.run.refine`) follows the engine."""
    channels: ChannelMode = DEFAULT_CHANNELS
    automatic: bool = False
    """Whether the patch radius, iterations and p-value are the defaults, left for the run to
    choose between them and others on a plane or a time-lapse (:mod:`pxvorel.quality.tile_choice`)."""
    variant: StageVariant = "default"
    """Which passes of the second stage follow: after "fine" settings, whose result keeps more
    noise, two (:data:`pxvorel.run.refine.FINE_PLANE_BLOCKS`); after "wide" ones wider blocks
    (:data:`pxvorel.run.refine.WIDE_PLANE_BLOCKS`, :data:`pxvorel.run.refine.WIDE_FRAME_BLOCKS`)."""
    floor: float = DEFAULT_FLOOR
    """The part of each squared pilot coefficient, in noise variances, that the second stage
    does not trust (:func:`pxvorel.run.refine.refine`)."""

    @classmethod
    def from_arguments(
        cls,
        plan: AxisPlan,
        *,
        patch_radius: int | Mapping[str, int] | None,
        search_axes: str | Mapping[str, bool] | None,
        iterations: int = DEFAULT_ITERATIONS,
        pvalue: float = DEFAULT_PVALUE,
        renoise: float,
        threads: int | None,
        refine: bool = True,
        channels: str = DEFAULT_CHANNELS,
    ) -> Settings:
        iterations = _integer(iterations, "iterations")
        if not 1 <= iterations <= 30:
            raise ValueError(f"iterations must be between 1 and 30, not {iterations}")
        if not 0.0 <= float(pvalue) <= 1.0:
            raise ValueError(f"pvalue must be in [0, 1], not {pvalue!r}")
        if not float(renoise) >= 0.0:
            raise ValueError(f"renoise must be >= 0, not {renoise!r}")
        if threads is not None:
            threads = _integer(threads, "threads")
            if threads < 1:
                raise ValueError(f"threads must be at least 1, not {threads}")
        if not isinstance(refine, (bool, np.bool_)):
            raise ValueError(f"refine must be True or False, not {refine!r}")
        if channels not in CHANNEL_MODES:
            raise ValueError(f"channels must be one of {', '.join(map(repr, CHANNEL_MODES))}, not {channels!r}")
        mode: ChannelMode = "joint" if channels == "joint" else "separate"
        automatic = (
            patch_radius is None
            and iterations == DEFAULT_ITERATIONS
            and float(pvalue) == DEFAULT_PVALUE
            and bool(refine)
        )
        _warn_of_single_sample_search(search_axes, plan)
        return cls(
            _patch_radius(patch_radius, plan),
            _search(search_axes),
            iterations,
            float(pvalue),
            float(renoise),
            threads,
            bool(refine),
            mode,
            automatic,
        )

    def native_lists(self) -> tuple[list[int], list[int]]:
        """patch_radius and neighborhood_axes in the engine's x, y, z, c, t order."""
        r = self.patch_radius
        return [r["X"], r["Y"], r["Z"], 0, r["T"]], [1, 1, int(self.search["Z"]), 0, int(self.search["T"])]

    def describe(self, plan: AxisPlan) -> str:
        """One line, naming only the axes the image extends along."""
        extended = [a for a in "XYZT" if plan.size(a) > 1]
        radius = " ".join(f"{a}{self.patch_radius[a]}" for a in extended)
        search = "".join(a for a in extended if a in "XY" or self.search[a])
        return (
            f"{self.iterations} iterations, patch radius {radius}, search {search}, "
            f"p-value {self.pvalue:g}, renoise {self.renoise:g}, "
            f"{'channels ' + self.channels + ', ' if plan.size('C') > 1 else ''}"
            f"{'with' if self.refine else 'without'} the DCT second stage"
            f"{STAGE_NOTE[self.variant] if self.refine else ''}"
            f"{f' (pilot floor {self.floor:g})' if self.refine else ''}, "
            f"{self.threads if self.threads is not None else current_threads()} thread(s)"
        )
