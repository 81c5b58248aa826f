"""The ``pxvorel`` command line: denoise, estimate and demo.

Progress goes to standard error (silenced by ``--quiet``), results to standard output.
Errors are one line on standard error with exit status 2 for bad input or arguments (or
a path that needs an optional extra, named with its ``pip install`` line) and 1 for
anything else; ``pxvorel estimate --strict`` exits with 1 too when a channel's noise model
does not fit the noise measured in it.
"""

from __future__ import annotations

import argparse
import json
import logging
import math
import sys
from collections.abc import Callable, Sequence
from pathlib import Path

import numpy as np

from pxvorel.cli.files import denoise_file
from pxvorel.cli.parser import build_parser
from pxvorel.cli.report import Console, describe_image, stage
from pxvorel.cli.signals import Stopped, stop_on_signals
from pxvorel.core.axes import AxisPlan
from pxvorel.core.extras import MissingExtraError, require
from pxvorel.io import read_image
from pxvorel.noise.choose import estimate_noise, estimate_sigma

log = logging.getLogger(__name__)


def denoise_command(args: argparse.Namespace, console: Console) -> int:
    """``pxvorel denoise`` on one or many files, in memory or chunked (see :mod:`pxvorel.cli.batch`)."""
    from pxvorel.cli.batch import run_batch

    return run_batch(args, console, denoise_file)


def _json_number(value: float) -> float | None:
    return value if math.isfinite(value) else None


def estimate_file(args: argparse.Namespace, console: Console) -> int:
    """``pxvorel estimate``: print the noise model ``denoise`` would use, the reason for each
    channel's (with its fit figure), and the Gaussian sigma of a file; with ``--plot``, draw
    it. The exit status is 1 with ``--strict`` when a channel's model does not fit."""
    with stage(log, f"reading {args.input}"):
        image = read_image(args.input, axes=args.axes, series=args.series)
    log.info(f"image: {describe_image(image)}")
    with stage(log, "estimating the noise"):
        model = estimate_noise(image.data, axes=image.axes)
        sigma = estimate_sigma(image.data, axes=image.axes)
    if args.plot:
        require("matplotlib", "--plot")
        from pxvorel.noise.figure import model_figure

        with stage(log, f"drawing {args.plot}"):
            data = np.asarray(image.data)
            engine = AxisPlan.for_array(data.shape, image.axes).to_engine(data)
            model_figure(engine, model).savefig(args.plot, dpi=120)
    fits = [model.fits(c) for c in range(model.channels)]
    if args.json:
        print(
            json.dumps({**model.to_dict(), "reasons": list(model.reasons), "fits": fits, "sigma": _json_number(sigma)})
        )
    else:
        for c in range(model.channels):
            print(f"channel {c}: {model.describe_channel(c)}")
            print(f"  why: {model.reason(c)}")
        print(f"sigma (Gaussian, all channels): {sigma:.6g}")
    if args.strict and not all(fits):
        misfits = ", ".join(str(c) for c, ok in enumerate(fits) if not ok)
        print(f"pxvorel: the noise model does not fit the measured noise in channel {misfits}", file=sys.stderr)
        return 1
    return 0


def demo_command(args: argparse.Namespace, console: Console) -> None:
    """``pxvorel demo``: synthetic time series, denoised, with a report."""
    require("matplotlib", "the demo", "demo")
    require("skimage", "the demo", "demo")
    from pxvorel.demo import print_report, run_demo

    with console.progress("denoising") as progress:
        report = run_demo(Path(args.out), frames=args.frames, size=args.size, threads=args.threads, progress=progress)
    print_report(report, as_json=args.json)


COMMANDS: dict[str, Callable[[argparse.Namespace, Console], object]] = {
    "denoise": denoise_command,
    "estimate": estimate_file,
    "demo": demo_command,
}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status."""
    args = build_parser().parse_args(argv)
    console = Console(quiet=args.quiet)
    try:
        with stop_on_signals(), console.messages(), np.errstate(all="ignore"):
            status = COMMANDS[args.command](args, console)
    except Stopped as stop:
        print(f"pxvorel: {stop}; no partial output left", file=sys.stderr)
        return stop.status
    except MissingExtraError as error:  # a path that needs an optional extra
        print(f"pxvorel: error: {error}", file=sys.stderr)
        return 2
    except (ValueError, OSError) as error:  # bad input, or a file that cannot be read or written
        print(f"pxvorel: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("pxvorel: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # one line, never a traceback
        prefix = "" if isinstance(error, RuntimeError) else f"{type(error).__name__}: "
        print(f"pxvorel: error: {prefix}{error}", file=sys.stderr)
        return 1
    return status if isinstance(status, int) else 0
