"""The napari plugin: manifest, dock widget, denoising from the widget, cancel, errors, sample data."""

import os
import shutil
import warnings
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("napari")
pytest.importorskip("pytestqt")

from napari.utils.notifications import notification_manager
from qtpy.QtCore import Qt

import pxvorel
import pxvorel.napari._widget
from pxvorel.napari._sample_data import demo_time_lapse
from pxvorel.napari._widget import DenoiseWidget
from scenes import camera_image

WIDGET = "Denoise"
RUN_TIMEOUT_MS = 300_000


@pytest.fixture
def viewer(make_napari_viewer):
    return make_napari_viewer()


def dock(viewer) -> DenoiseWidget:
    _, widget = viewer.window.add_plugin_dock_widget("pxvorel", WIDGET)
    return widget


def press(qtbot, widget: DenoiseWidget, button) -> None:
    """Click a button of the widget and wait until the run it starts has finished."""
    button.native.click()
    qtbot.waitUntil(lambda: not widget.running, timeout=RUN_TIMEOUT_MS)


def test_manifest_validates_and_imports():
    from npe2 import PluginManifest

    manifest = PluginManifest.from_distribution("pxvorel")
    manifest.validate_imports()
    assert [w.display_name for w in manifest.contributions.widgets] == [WIDGET]


def test_plugins_menu_docks_the_widget_on_the_right_with_the_image_layers(viewer):
    viewer.add_image(camera_image((32, 32)), name="cells")
    viewer.add_labels(np.zeros((32, 32), np.uint8), name="masks")
    [action] = [a for a in viewer.window.plugins_menu.actions() if a.text() == "Denoise (pxvorel)"]
    action.trigger()
    widget = viewer.window.dock_widgets["Denoise (pxvorel)"]
    assert isinstance(widget, DenoiseWidget)
    area = viewer.window._qt_window.dockWidgetArea(widget.native.parent())
    assert area == Qt.DockWidgetArea.RightDockWidgetArea
    assert [layer.name for layer in widget.image.choices] == ["cells"]
    assert widget.axes.value == "YX"
    assert (widget.iterations.value, widget.pvalue.value, widget.refine.value) == (4, 1e-5, True)


# Each case: data, layer keywords, the widget's settings and the equivalent denoise() keywords.
CASES = {
    "2-D, Gaussian": (
        camera_image((64, 72)),
        {"scale": (0.5, 0.5), "translate": (10.0, -4.0)},
        {"noise": "gaussian", "iterations": 3},
        {"axes": "YX", "noise": "gaussian", "iterations": 3},
    ),
    "3-D, known sigma, patch radius": (
        camera_image((8, 40, 48), seed=1),
        {"scale": (2.0, 0.3, 0.3)},
        {"noise": "sigma", "sigma": 12.0, "X": 1},
        {"axes": "ZYX", "noise": 12.0, "patch_radius": {"X": 1}},
    ),
    "time-lapse, auto": (
        camera_image((6, 48, 40), seed=2),
        {"axis_labels": ("t", "y", "x")},
        {"pvalue": 0.05, "refine": False},
        {"axes": "TYX", "pvalue": 0.05, "refine": False},
    ),
    "RGB": (
        (camera_image((3, 40, 48), seed=3) // 2).astype(np.uint8).transpose(1, 2, 0),
        {"rgb": True},
        {"noise": "gaussian", "channels": "joint"},
        {"axes": "YXC", "noise": "gaussian", "channels": "joint"},
    ),
}


@pytest.mark.parametrize("case", CASES, ids=list(CASES))
def test_denoise_makes_a_new_aligned_layer_equal_to_denoise(viewer, qtbot, case):
    data, layer_keywords, controls, keywords = CASES[case]
    source = viewer.add_image(data, name="noisy", contrast_limits=(90, 400), **layer_keywords)
    viewer.add_image(np.zeros(data.shape, np.uint8), name="on top")
    widget = dock(viewer)
    widget.image.value = source
    assert widget.axes.value == keywords["axes"]
    for name, value in controls.items():
        control = widget.radius[name] if name in widget.radius else getattr(widget, name)
        control.value = value
    widget.threads.value = 1  # more threads change the order of the additions into a sample
    press(qtbot, widget, widget.denoise_button)

    assert [layer.name for layer in viewer.layers] == ["noisy", "noisy denoised", "on top"]
    qtbot.wait(50)  # progress reports still queued must not overwrite the final status
    assert widget.status.value.startswith("noisy denoised: ")
    result = viewer.layers["noisy denoised"]
    expected = pxvorel.denoise(data, threads=1, **keywords)
    np.testing.assert_array_equal(result.data, expected)
    np.testing.assert_array_equal(source.data, data)
    for attribute in ("scale", "translate"):
        np.testing.assert_array_equal(getattr(result, attribute), getattr(source, attribute))
    assert tuple(result.contrast_limits) == (90, 400)
    assert result.axis_labels == source.axis_labels


def test_quality_button_shows_the_estimate_beside_the_usual_layer(viewer, qtbot):
    data = camera_image((128, 128), seed=5)  # smaller images may be too small for an estimate
    source = viewer.add_image(data, name="noisy")
    widget = dock(viewer)
    widget.image.value = source
    widget.threads.value = 1
    press(qtbot, widget, widget.quality_button)
    assert widget.quality.value.startswith("estimated PSNR gain") and " dB ± " in widget.quality.value
    np.testing.assert_array_equal(viewer.layers["noisy denoised"].data, pxvorel.denoise(data, axes="YX", threads=1))
    assert viewer.layers["noisy denoised"].metadata["pxvorel"]["quality_estimate"] == widget.quality.value


def test_estimate_shows_the_model_that_denoise_then_uses(viewer, qtbot):
    data = np.stack([camera_image((48, 48)), camera_image((48, 48), seed=5) // 2 + 50])
    viewer.add_image(data, name="two channels", axis_labels=("c", "y", "x"))
    widget = dock(viewer)
    assert widget.axes.value == "CYX"
    press(qtbot, widget, widget.estimate_button)
    estimated = widget.model.value
    assert list(estimated["columns"]) == ["channel 0", "channel 1"]
    assert estimated["data"][0] == ["Poisson-Gaussian", "Poisson-Gaussian"]
    assert not widget.figure.native.isHidden() and not widget.figure.native.pixmap().isNull()  # model against data
    widget.threads.value = 1
    press(qtbot, widget, widget.denoise_button)
    assert len(viewer.layers) == 2
    assert widget.model.value == estimated


def start_long_run(viewer, qtbot, threads: int = 1) -> DenoiseWidget:
    """A run of hours, under way: only a run that really stops ends soon after (threads 0:
    the count in force, which cuts this image into bands on two cores)."""
    viewer.add_image(camera_image((8, 512, 512)), name="long", axis_labels=("t", "y", "x"))
    widget = dock(viewer)
    widget.noise.value, widget.sigma.value = "sigma", 10.0
    widget.iterations.value, widget.threads.value = 9, threads
    widget.denoise_button.native.click()
    qtbot.waitUntil(lambda: "%" in widget.status.value, timeout=RUN_TIMEOUT_MS)
    return widget


@pytest.mark.parametrize("threads", [1, 0], ids=["one thread", "default threads"])
def test_cancel_stops_a_long_run_and_adds_no_layer(viewer, qtbot, threads):
    widget = start_long_run(viewer, qtbot, threads)
    widget.cancel_button.native.click()
    qtbot.waitUntil(lambda: not widget.running, timeout=60_000)
    assert [layer.name for layer in viewer.layers] == ["long"]
    assert widget.status.value == "cancelled"


def test_closing_the_viewer_stops_a_run(viewer, qtbot):
    widget = start_long_run(viewer, qtbot)
    with qtbot.waitSignal(widget.worker.finished, timeout=60_000):
        viewer.close()


@pytest.mark.parametrize(
    ("controls", "keywords"),
    [
        ({"axes": "TYX"}, {"axes": "TYX"}),
        ({"noise": "sigma", "sigma": 0.0}, {"noise": 0.0}),
        ({"X": 9}, {"patch_radius": {"X": 9}}),
    ],
    ids=["axes of another length", "sigma 0", "patch larger than the image"],
)
@pytest.mark.parametrize("button", ["estimate_button", "denoise_button"])
def test_a_bad_parameter_shows_the_package_error_and_adds_no_layer(viewer, qtbot, controls, keywords, button):
    data = camera_image((16, 16))
    viewer.add_image(data, name="small")
    widget = dock(viewer)
    for name, value in controls.items():
        control = widget.radius[name] if name in widget.radius else getattr(widget, name)
        control.value = value
    with pytest.raises(ValueError) as expected:
        pxvorel.denoise(data, **keywords)
    del notification_manager.records[:]
    press(qtbot, widget, getattr(widget, button))
    assert [layer.name for layer in viewer.layers] == ["small"]
    assert str(expected.value) in [str(record.message) for record in notification_manager.records]
    assert str(expected.value) in widget.status.value


def test_a_warning_of_the_run_becomes_a_napari_notification(viewer, qtbot, monkeypatch):
    denoise = pxvorel.denoise

    def denoise_with_a_note(*args, **kwargs):
        warnings.warn("channel 0: a note on the noise model", UserWarning, stacklevel=2)
        return denoise(*args, **kwargs)

    monkeypatch.setattr(pxvorel.napari._widget, "denoise", denoise_with_a_note)
    viewer.add_image(camera_image((24, 24)), name="small")
    widget = dock(viewer)
    del notification_manager.records[:]
    press(qtbot, widget, widget.denoise_button)
    assert "channel 0: a note on the noise model" in [str(record.message) for record in notification_manager.records]
    assert [layer.name for layer in viewer.layers] == ["small", "small denoised"]


def test_sample_data_opens_as_a_time_lapse(viewer):
    layers = viewer.open_sample("pxvorel", "demo-time-lapse")
    assert [layer.name for layer in layers] == ["demo noisy", "demo clean"]
    assert all(layer.data.shape == (24, 256, 256) for layer in layers)
    assert layers[0].data.dtype == np.uint16
    widget = dock(viewer)
    widget.image.value = layers[0]
    assert widget.axes.value == "TYX"


def test_screenshot_of_the_viewer_with_the_widget(make_napari_viewer, qtbot, tmp_path):
    """The docked widget with the estimated model, the noisy and the denoised layer side by side.

    The screenshot is written to $PXVOREL_NAPARI_SCREENSHOT when that is set.
    """
    viewer = make_napari_viewer(show=True)
    viewer.window._qt_window.resize(1400, 900)
    for data, keywords, _ in demo_time_lapse(frames=6, size=192):
        viewer.add_image(data, **keywords)
    viewer.layers.remove("demo clean")
    widget = dock(viewer)
    widget.image.value = viewer.layers["demo noisy"]
    press(qtbot, widget, widget.estimate_button)
    press(qtbot, widget, widget.denoise_button)
    viewer.grid.enabled = True
    viewer.dims.axis_labels = ("t", "y", "x")
    viewer.dims.set_current_step(0, 3)
    viewer.reset_view()
    qtbot.wait(200)

    path = tmp_path / "napari.png"
    viewer.screenshot(path=str(path), canvas_only=False)
    canvas = viewer.screenshot(canvas_only=True)
    left, right = np.array_split(canvas[..., :3].astype(float), 2, axis=1)
    assert path.stat().st_size > 0
    # Both panes show an image, and the denoised one is smoother than the noisy one.
    assert left.std() > 0 and right.std() > 0
    assert np.abs(np.diff(right, axis=1)).mean() < np.abs(np.diff(left, axis=1)).mean()
    if target := os.environ.get("PXVOREL_NAPARI_SCREENSHOT"):
        shutil.copyfile(path, Path(target))
