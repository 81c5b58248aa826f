"""The napari dock widget: pick an image layer, look at its noise model, denoise it in a worker thread.

Estimation and denoising run in napari thread workers, so the viewer stays responsive.
A run reports its progress through the ``progress`` callback of :func:`pxvorel.denoise`,
which is called on the worker thread; the callback forwards the fraction to the main
thread (napari's progress bar and the widget's status line) and raises when Cancel was
pressed, which stops the native run. Errors reach napari's notifications with the
package's own message, and a result always goes into a new layer.
"""

from __future__ import annotations

import dataclasses
import inspect
import io
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TypedDict, cast

import numpy as np
from magicgui.widgets import (
    CheckBox,
    ComboBox,
    Container,
    FloatSpinBox,
    Label,
    LineEdit,
    PushButton,
    SpinBox,
    Table,
    Widget,
    create_widget,
)
from napari.layers import Image
from napari.qt.threading import thread_worker
from napari.utils import progress
from napari.utils.notifications import notification_manager, show_error
from qtpy.QtCore import Qt
from qtpy.QtGui import QPixmap
from superqt.utils import ensure_main_thread

from pxvorel.api import denoise
from pxvorel.core.axes import AxisPlan
from pxvorel.napari._layers import denoised_layer, layer_axes
from pxvorel.noise.choose import choose_model
from pxvorel.noise.model import NoiseModel, NoiseSpec
from pxvorel.quality.report import RunReport
from pxvorel.run.job import prepare
from pxvorel.run.settings import CHANNEL_MODES, DEFAULT_PATCH_RADIUS, ChannelMode
from pxvorel.run.threads import available_cores

if TYPE_CHECKING:
    import napari
    from napari.qt.threading import FunctionWorker

#: Keyword defaults of :func:`pxvorel.denoise`, which the widget starts from.
DEFAULTS = {
    name: p.default
    for name, p in inspect.signature(denoise).parameters.items()
    if p.default is not inspect.Parameter.empty
}

#: The noise choices: label shown, value of ``noise=`` ("sigma" stands for the number entered).
NOISE_CHOICES = [
    ("auto", "auto"),
    ("Gaussian", "gaussian"),
    ("Poisson-Gaussian", "poisson-gaussian"),
    ("known sigma", "sigma"),
]

#: Rows of the noise model table (one column per channel).
MODEL_ROWS = ("noise", "gain", "offset", "sigma", "correlation")
EMPTY_MODEL = {"data": [[""] for _ in MODEL_ROWS], "index": MODEL_ROWS, "columns": ["channel 0"]}


class _Cancelled(Exception):
    """Raised from the progress callback to stop a run after Cancel was pressed."""


class RunSettings(TypedDict):
    """patch_radius, iterations, pvalue, threads, refine and channels, as :func:`pxvorel.denoise` takes them."""

    patch_radius: dict[str, int] | None
    iterations: int
    pvalue: float
    threads: int | None
    refine: bool
    channels: ChannelMode


class Keywords(RunSettings):
    """The keyword arguments of :func:`pxvorel.denoise` for a request."""

    axes: str
    noise: NoiseSpec
    tune: bool
    quality: bool


@dataclass(frozen=True)
class Request:
    """What one Estimate or Denoise press asks for, read from the controls on the main thread."""

    layer: Image
    axes: str
    noise: NoiseSpec
    settings: RunSettings
    tune: bool = False
    quality: bool = False
    """Whether the run estimates its quality (the "Denoise and estimate quality" button)."""
    cancel: threading.Event = field(default_factory=threading.Event)

    def keywords(self) -> Keywords:
        """The keyword arguments of :func:`pxvorel.denoise` for this request."""
        return {"axes": self.axes, "noise": self.noise, "tune": self.tune, "quality": self.quality, **self.settings}


def model_table(model: NoiseModel, medians: list[float]) -> dict[str, Any]:
    """Table of a noise model: per channel (column) its kind, gain, offset, sigma and the
    correlation of neighbouring pixels' noise along X and Y ("-" for white noise).

    Sigma is the noise standard deviation of the model at the channel's median intensity.
    """
    columns = []
    for c in range(model.channels):
        sigma = f"{float(model.std(medians[c], c)):.4g}"
        kind = {
            "none": "no noise",
            "gaussian": "Gaussian",
            "line": "Poisson-Gaussian",
            "clipped line": "Poisson-Gaussian",
            "curve": "measured curve",
        }[model.kind(c)]
        if model.clipped(c):
            kind += ", clipped"
        correlation = model.correlation[c]
        along = (
            "-" if correlation is None else f"X {correlation.neighbour('X'):.2f}, Y {correlation.neighbour('Y'):.2f}"
        )
        if model.gain[c] > 0:
            columns.append([kind, f"{model.gain[c]:.4g}", f"{model.offset[c]:.4g}", sigma, along])
        else:
            columns.append([kind, "-", "-", sigma, along])
    return {
        "data": [list(row) for row in zip(*columns, strict=True)],
        "index": MODEL_ROWS,
        "columns": [f"channel {c}" for c in range(model.channels)],
    }


def _medians(image: np.ndarray, axes: str) -> list[float]:
    """Median intensity of each channel (on a subsample of about a million samples per channel)."""
    engine = AxisPlan.for_array(image.shape, axes).to_engine(image)
    medians = []
    for c in range(engine.shape[1]):
        values = engine[:, c].ravel()
        medians.append(float(np.median(values[:: max(1, values.size // 1_000_000)])))
    return medians


@dataclass(frozen=True)
class Outcome:
    """What a finished run hands to the main thread."""

    model: NoiseModel
    medians: list[float]
    """The input's median intensity per channel, where the table gives a Poisson-Gaussian sigma."""
    denoised: np.ndarray | None = None
    figure: bytes | None = None
    """PNG of the model against the measured noise (:func:`pxvorel.noise.figure.model_figure`)."""
    report: RunReport | None = None


def _figure_png(engine: np.ndarray, model: NoiseModel) -> bytes | None:
    """The model figure as PNG, drawn off the main thread with Agg; None without matplotlib."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return None
    from pxvorel.noise.figure import model_figure

    buffer = io.BytesIO()
    model_figure(engine, model).savefig(buffer, format="png", dpi=100)
    return buffer.getvalue()


@thread_worker  # type: ignore[untyped-decorator]  # napari has no type information
def _estimate(request: Request) -> Outcome:
    """The noise model a Denoise press would use, and its figure."""
    image = np.asarray(request.layer.data)
    job = prepare(image, axes=request.axes, renoise=DEFAULTS["renoise"], **request.settings)
    model = choose_model(job.engine, request.noise, stacklevel=1)
    return Outcome(model, _medians(image, request.axes), figure=_figure_png(job.engine, model))


@thread_worker  # type: ignore[untyped-decorator]  # napari has no type information
def _denoise(request: Request, report: Callable[[float], None]) -> Outcome | None:
    """Denoise the request's layer data; None when cancelled."""

    def progress_callback(fraction: float) -> None:
        if request.cancel.is_set():
            raise _Cancelled
        report(fraction)

    image = np.asarray(request.layer.data)
    try:
        denoised, run_report = denoise(image, **request.keywords(), return_report=True, progress=progress_callback)
    except _Cancelled:
        return None
    if request.cancel.is_set():
        return None
    return Outcome(run_report.noise, _medians(image, request.axes), denoised, report=run_report)


class DenoiseWidget(Container[Widget]):
    """Dock widget "Denoise (pxvorel)": noise model, parameters, Denoise and Cancel."""

    def __init__(self, viewer: napari.viewer.Viewer) -> None:
        super().__init__(labels=True)
        self._viewer = viewer
        # napari registers its layer types with magicgui as a combo box of the viewer's layers.
        self.image = cast(ComboBox, create_widget(annotation=Image, label="image"))
        self.axes = LineEdit(label="axes", tooltip="the layer's axes in its order, letters T, C, Z, Y and X")
        self.noise = ComboBox(label="noise", choices=NOISE_CHOICES, value="auto")
        self.sigma = FloatSpinBox(label="sigma", min=0.0, max=1e9, step=0.1, value=1.0, visible=False)
        self.estimate_button = PushButton(text="Estimate noise model")
        self.figure = Label(value="", label="measured noise", visible=False)
        self.model = Table(value=EMPTY_MODEL, label="noise model")
        table = self.model.native
        table.setEditTriggers(table.EditTrigger.NoEditTriggers)
        table.setSizeAdjustPolicy(table.SizeAdjustPolicy.AdjustToContents)
        table.setVerticalScrollBarPolicy(Qt.ScrollBarPolicy.ScrollBarAlwaysOff)
        table.setFixedHeight(
            table.horizontalHeader().sizeHint().height()
            + len(MODEL_ROWS) * table.verticalHeader().defaultSectionSize()
            + 2 * table.frameWidth()
            + 4
        )
        self.radius = {
            a: SpinBox(
                label=f"patch radius {a}",
                min=0,
                max=15,
                value=r,
                tooltip="left at this default: the package's own (1 in X and Y on a time-lapse, "
                "and on a plane or a time-lapse its choice of another setting)",
            )
            for a, r in DEFAULT_PATCH_RADIUS.items()
        }
        self.iterations = SpinBox(label="iterations", min=1, max=30, value=DEFAULTS["iterations"])
        self.pvalue = FloatSpinBox(label="p-value", min=0.0, max=1.0, step=0.001)
        self.sigma.native.setDecimals(4)  # room for small sigmas
        self.pvalue.native.setDecimals(6)  # and p-values down to the default 1e-5 (set before the value,
        self.pvalue.value = DEFAULTS["pvalue"]  # which the box rounds to its decimals)
        cores = available_cores()
        self.threads = SpinBox(
            label="threads (0: default)",
            min=0,
            max=cores,
            value=0,
            tooltip="0: the package's default, the OpenMP thread count in force",
        )
        self.refine = CheckBox(
            text="second stage (DCT Wiener filter)",
            value=DEFAULTS["refine"],
            tooltip="filter again in blocks of the cosine transform, guided by the first "
            "result; off: the patch averaging alone",
        )
        self.channels = ComboBox(
            label="channels",
            choices=list(CHANNEL_MODES),
            value=DEFAULTS["channels"],
            tooltip="separate: every channel denoised on its own; joint: a patch spans all channels",
        )
        self.tune = CheckBox(
            text="tune parameters to the image",
            value=False,
            tooltip="choose patch radius, iterations and p-value by the estimated error on a "
            "central crop (up to 8 candidates; the fields above are then overridden)",
        )
        self.denoise_button = PushButton(text="Denoise")
        self.quality_button = PushButton(
            text="Denoise and estimate quality",
            tooltip="also estimate the PSNR gain over the input without a clean "
            "image (Stein's unbiased risk estimate; one more run)",
        )
        self.quality = Label(value="", label="quality")
        self.cancel_button = PushButton(text="Cancel", enabled=False)
        self.status = Label(value="")
        self.extend(
            [
                self.image,
                self.axes,
                self.noise,
                self.sigma,
                self.estimate_button,
                self.model,
                self.figure,
                *self.radius.values(),
                self.iterations,
                self.pvalue,
                self.threads,
                self.refine,
                self.channels,
                self.tune,
                self.denoise_button,
                self.quality_button,
                self.cancel_button,
                self.quality,
                self.status,
            ]
        )

        self.worker: FunctionWorker | None = None
        self._request: Request | None = None
        self._bar: progress | None = None
        self._closed = False
        self.native.destroyed.connect(self._on_destroyed)
        self.image.changed.connect(self._layer_changed)
        self.noise.changed.connect(lambda value: setattr(self.sigma, "visible", value == "sigma"))
        self.estimate_button.changed.connect(self.estimate)
        self.denoise_button.changed.connect(self.denoise)
        self.quality_button.changed.connect(self.denoise_with_quality)
        self.cancel_button.changed.connect(self.cancel)
        self._layer_changed(self.image.value)

    # -- reading the controls ------------------------------------------------------------

    def _layer_changed(self, layer: Image | None) -> None:
        self.axes.value = layer_axes(layer) if layer is not None else ""
        self.model.value = EMPTY_MODEL
        self.figure.visible = False

    def read_request(self) -> Request | None:
        """The current choices, or None (with an error notification) when no layer can be used."""
        layer = self.image.value
        if layer is None:
            show_error("pxvorel: choose an image layer first")
            return None
        if layer.multiscale:
            show_error(f"pxvorel: {layer.name!r} is a multiscale image; denoise its full-resolution level instead")
            return None
        axes = self.axes.value.strip()
        # A radius left at its default is not passed: the package then shrinks it to fit short axes.
        radius = {
            a: w.value for a, w in self.radius.items() if a in axes.upper() and w.value != DEFAULT_PATCH_RADIUS[a]
        }
        settings: RunSettings = {
            "patch_radius": radius or None,
            "iterations": self.iterations.value,
            "pvalue": self.pvalue.value,
            "threads": self.threads.value or None,
            "refine": bool(self.refine.value),
            "channels": "joint" if self.channels.value == "joint" else "separate",
        }
        noise = self.sigma.value if self.noise.value == "sigma" else self.noise.value
        return Request(layer, axes, noise, settings, tune=bool(self.tune.value))

    # -- running -------------------------------------------------------------------------

    def estimate(self) -> None:
        """Estimate the noise model of the chosen layer in a worker and show it."""
        request = self.read_request()
        if request is not None:
            self._start(_estimate(request, _connect=self._handlers, _start_thread=False), request, "estimating")

    def denoise(self, *, quality: bool = False) -> None:
        """Denoise the chosen layer in a worker; the result becomes a new layer above it. With
        `quality` the run also estimates its PSNR gain, shown in the quality line."""
        request = self.read_request()
        if request is not None:
            request = dataclasses.replace(request, quality=quality)
            self._bar = progress(total=100, desc=f"pxvorel: denoising {request.layer.name}")
            worker = _denoise(request, self._show_progress, _connect=self._handlers, _start_thread=False)
            self._start(worker, request, "denoising")

    def denoise_with_quality(self) -> None:
        """Denoise the chosen layer and show the estimated quality of the result."""
        self.denoise(quality=True)

    def cancel(self) -> None:
        """Stop the running estimate or denoise; nothing is shown or added."""
        if self._request is not None:
            self._request.cancel.set()
            self.status.value = "cancelling..."

    def _start(self, worker: FunctionWorker, request: Request, what: str) -> None:
        started = time.perf_counter()
        worker.returned.connect(lambda outcome: self._finish(request, outcome, time.perf_counter() - started))
        worker.finished.connect(self._idle)
        self.worker, self._request = worker, request
        self._set_running(True)
        self.status.value = f"{what} {request.layer.name}..."
        worker.start()

    @property
    def _handlers(self) -> dict[str, Callable[..., None]]:
        # The worker's errors and warnings (e.g. a channel falling back to Gaussian noise)
        # become napari notifications; connecting "errored" also keeps the error from
        # being raised again in the main thread.
        return {"errored": self._failed, "warned": lambda args: notification_manager.receive_warning(*args)}

    def _failed(self, error: Exception) -> None:
        self._close_bar()
        notification_manager.receive_error(type(error), error, error.__traceback__)
        self.status.value = f"failed: {error}"

    @ensure_main_thread
    def _show_progress(self, fraction: float) -> None:
        if self._bar is not None and not self._closed:
            # Status first: napari's bar processes pending events while it updates, which
            # may finish the run (and set the final status) before update() returns.
            self.status.value = f"denoising... {100 * fraction:.0f} %"
            self._bar.update(round(100 * fraction) - self._bar.n)

    def _on_destroyed(self) -> None:
        # The viewer was closed, which deletes its dock widgets: a running estimate or
        # denoise stops. (A dock removed from the viewer keeps its widget and its run.)
        self._closed = True
        if self._request is not None:
            self._request.cancel.set()

    def _finish(self, request: Request, outcome: Outcome | None, seconds: float) -> None:
        self._close_bar()
        if self._closed:
            return
        if outcome is None or request.cancel.is_set():
            self.status.value = "cancelled"
            return
        if request.layer is self.image.value:
            self.model.value = model_table(outcome.model, outcome.medians)
            self.model.native.resizeColumnsToContents()
            if outcome.figure is not None:
                pixmap = QPixmap()
                pixmap.loadFromData(outcome.figure)
                self.figure.native.setPixmap(pixmap.scaledToWidth(360, Qt.TransformationMode.SmoothTransformation))
                self.figure.visible = True
        if outcome.denoised is None:
            self.status.value = f"noise model of {request.layer.name}: {seconds:.1f} s"
            return
        source = request.layer
        report = outcome.report
        metadata: dict[str, Any] = {"source": source.name, **request.keywords(), "noise_model": outcome.model.to_dict()}
        if report is not None:
            metadata["used"] = report.describe()
            if report.quality is not None:
                self.quality.value = report.quality.describe()
                metadata["quality_estimate"] = report.quality.describe()
        layer = denoised_layer(source, outcome.denoised, metadata)
        layers = self._viewer.layers
        layers.insert(layers.index(source) + 1 if source in layers else len(layers), layer)
        self.status.value = f"{layer.name}: {seconds:.1f} s"

    def _close_bar(self) -> None:
        # Progress reports may still be queued, and closing the bar can process them: the
        # bar is forgotten first, so that they change nothing.
        bar, self._bar = self._bar, None
        if bar is not None:
            bar.close()

    def _idle(self) -> None:
        self._close_bar()
        self._request = None
        if not self._closed:
            self._set_running(False)

    @property
    def running(self) -> bool:
        """Whether an estimate or a denoise is under way."""
        return self._request is not None

    def _set_running(self, running: bool) -> None:
        for button in (self.estimate_button, self.denoise_button, self.quality_button):
            button.enabled = not running
        self.cancel_button.enabled = running
