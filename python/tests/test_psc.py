"""detect_pscs against psctrawl --batch: the same events and numbers as the event table the
program writes, with the same settings, and the same files where it is asked to write them."""

import math
import os
import pathlib
import shutil

import numpy as np
import pytest

import ephys
from conftest import copy_into, program, run, synth

TRIGGER = "Diff. trigger ([+-]pa/ms)"

# The .PRN columns in file order and the dict columns that hold them.
PRN_COLUMNS = ["event", "event_type", "time_s", "interval_s", "rise_time_ms", "width_25_ms", "half_width_ms",
               "width_90_ms", "amplitude_pa", "cum_prob", "charge_fc", "wtdtau_ms", "decay_ratio", "episode",
               "epoch", "time_in_episode_ms"]


def batch_table(recording, settings, folder, options=()):
    """psctrawl --batch --no-ini on a copy of the recording in `folder`; its .PRN rows as text cells."""
    copy = copy_into(folder, recording)
    args = [program("psctrawl"), "--batch", "--no-ini", "--quiet", *options]
    for label, value in settings.items():
        args += ["--set", f"{label}={value}"]
    run(args + [copy.name], cwd=folder)
    prn = pathlib.Path(folder) / (copy.stem.upper() + ".PRN")
    lines = prn.read_text().splitlines()
    return [line.split("\t") for line in lines[2:]], prn


def printed_tolerance(cell):
    """Half a unit of the last digit the cell shows."""
    mantissa, _, exponent = cell.strip().lower().partition("e")
    decimals = len(mantissa.split(".")[1]) if "." in mantissa else 0
    return 0.5 * 10.0 ** (-decimals + (int(exponent) if exponent else 0)) * 1.0001


def assert_same_as_batch(events, rows):
    assert len(events["event"]) == len(rows)
    for n, cells in enumerate(rows):
        for column, cell in zip(PRN_COLUMNS, cells):
            value = float(events[column][n])
            if cell.strip() == "":
                assert math.isnan(value), f"event {n + 1} {column}: empty in the table, {value} here"
            else:
                expected = float(cell)
                if column == "time_s":
                    # The fixed-width time field cuts times below 1 s after three decimals.
                    ok = abs(value - expected) <= 2 * printed_tolerance(cell)
                else:
                    ok = abs(value - expected) <= printed_tolerance(cell)
                assert ok, f"event {n + 1} {column}: {cell} vs {value}"


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    folder = tmp_path_factory.mktemp("psc")
    demo = pathlib.Path(os.environ.get("EPHYS_EXAMPLES_DIR", "."), "demo.abf")
    if not demo.exists():
        pytest.skip("examples/demo.abf not found")
    return {
        "demo": demo,
        "episodic": synth(folder, "episodic_cell.abf", "--sweeps", "6", "--sweep-length", "1", "--rate", "8",
                          "--seed", "4"),
        "outward_float": synth(folder, "outward_float.abf", "--duration", "8", "--outward", "--format",
                               "float32", "--seed", "5"),
    }


@pytest.mark.parametrize("name, settings", [
    ("demo", {TRIGGER: -3}),
    ("demo", {TRIGGER: -3, "Frames": "2..5", "Output raster of peak time rather than onset?": "Y"}),
    ("episodic", {TRIGGER: -3}),
    ("outward_float", {TRIGGER: 3}),
])
def test_events_are_those_of_the_batch_program(recordings, tmp_path, name, settings):
    rows, _ = batch_table(recordings[name], settings, tmp_path)
    events = ephys.detect_pscs(recordings[name], settings)
    assert len(rows) > 1
    assert_same_as_batch(events, rows)
    if name == "episodic":
        assert set(events["episode"]) <= set(range(1, 7)) and events["episode"].min() >= 1
    assert np.all(np.diff(events["event_time_ms"]) > 0)


@pytest.mark.parametrize("detector, options", [
    ("deconvolution", {}),
    ("template", {"template_rise_ms": 0.4, "template_decay_ms": 6, "threshold_sd": 6}),
    ("deconvolution", {"template_rise_ms": 1, "template_decay_ms": 8, "template_from_recording": True}),
])
def test_model_detectors_are_those_of_the_batch_program(recordings, tmp_path, detector, options):
    flags = ["--detector", detector]
    for name, value in options.items():
        flags += ["--" + name.replace("_", "-")] + ([] if value is True else [str(value)])
    rows, _ = batch_table(recordings["demo"], {TRIGGER: -3}, tmp_path, flags)
    if options.get("template_from_recording"):
        # The fitted kinetics are said as psctrawl says them, and they are the demo's, not the start's.
        with pytest.warns(UserWarning, match=r"Template from .*demo\.abf: rise [0-9.]+ ms, decay [0-9.]+ ms"):
            events = ephys.detect_pscs(recordings["demo"], {TRIGGER: -3}, detector=detector, **options)
        with pytest.raises(ValueError, match="template_from_recording"):
            ephys.detect_pscs(recordings["demo"], {TRIGGER: -3}, template_from_recording=True)
    else:
        events = ephys.detect_pscs(recordings["demo"], {TRIGGER: -3}, detector=detector, **options)
    assert len(rows) > 5
    assert_same_as_batch(events, rows)


def test_hum_is_taken_out_as_the_batch_program_does(tmp_path):
    (tmp_path / "made").mkdir()
    hummed = synth(tmp_path / "made", "hummed.abf", "--duration", "10", "--amplitude", "20", "--noise", "4", "--hum", "10",
                   "--hum-hz", "60", "--seed", "6")
    rows, _ = batch_table(hummed, {TRIGGER: -3}, tmp_path, ["--detector", "deconvolution"])
    with pytest.warns(UserWarning, match=r"Mains hum in .*hummed\.abf: 9\.9[0-9] pA at 60 Hz"):
        events = ephys.detect_pscs(hummed, {TRIGGER: -3}, detector="deconvolution")
    assert len(rows) > 30
    assert_same_as_batch(events, rows)
    with pytest.warns(UserWarning, match="at 60 Hz"):
        given = ephys.detect_pscs(hummed, {TRIGGER: -3}, detector="deconvolution", hum_hz=60)
    assert len(given["event"]) == len(rows)
    # Left in, the hum hides most of the events.
    assert len(ephys.detect_pscs(hummed, {TRIGGER: -3}, detector="deconvolution", hum_hz=0)["event"]) < len(rows) / 2
    for bad in ("50 Hz", -1, 5000, [50]):
        with pytest.raises(ValueError, match="hum_hz"):
            ephys.detect_pscs(hummed, {TRIGGER: -3}, detector="deconvolution", hum_hz=bad)
    with pytest.raises(ValueError, match="hum_hz needs"):
        ephys.detect_pscs(hummed, {TRIGGER: -3}, hum_hz=50)


def test_outputs_written_are_the_batch_programs_files(recordings, tmp_path):
    settings = {TRIGGER: -3}
    batch = tmp_path / "batch"
    batch.mkdir()
    _, prn = batch_table(recordings["episodic"], settings, batch)
    ours = tmp_path / "ours"
    ours.mkdir()
    events = ephys.detect_pscs(recordings["episodic"], settings, output_dir=ours)
    written = sorted(p.name for p in ours.iterdir())
    assert prn.name in written
    for name in written:
        assert (ours / name).read_bytes() == (batch / name).read_bytes(), name
    assert len(events["event"]) > 0
    # Without an output folder nothing is written beside the recording.
    copy = copy_into(tmp_path / "ours", recordings["demo"])
    before = set(copy.parent.iterdir())
    ephys.detect_pscs(copy, settings)
    assert set(copy.parent.iterdir()) == before


def test_recording_object_and_frame(recordings):
    rec = ephys.read_abf(recordings["demo"])
    events = ephys.detect_pscs(rec, {TRIGGER: -3})
    assert list(events) == list(ephys.EVENT_COLUMNS)
    pandas = pytest.importorskip("pandas")
    frame = ephys.detect_pscs_frame(rec, {TRIGGER: -3})
    assert isinstance(frame, pandas.DataFrame)
    assert list(frame.columns) == list(ephys.EVENT_COLUMNS)
    np.testing.assert_array_equal(frame["time_s"].to_numpy(), events["time_s"])


def test_max_events_and_progress(recordings):
    calls = []
    events = ephys.detect_pscs(recordings["demo"], {TRIGGER: -3}, max_events=10,
                               progress=lambda percent, line1, line2: calls.append((percent, line1)))
    assert len(events["event"]) == 10
    assert calls and calls[-1][0] == 100 and any(line1 == "Detecting" for _, line1 in calls)
    with pytest.warns(UserWarning):
        ephys.detect_pscs(recordings["demo"], {TRIGGER: -3}, max_events=10)
    with pytest.raises(RuntimeError, match="cancelled"):
        ephys.detect_pscs(recordings["demo"], {TRIGGER: -3}, progress=lambda *_: False)

    def failing(*_):
        raise KeyError("from the callback")

    with pytest.raises(KeyError, match="from the callback"):
        ephys.detect_pscs(recordings["demo"], {TRIGGER: -3}, progress=failing)


def test_refusals_and_unreadable_recordings(recordings, tmp_path):
    with pytest.raises(ValueError, match="Diff. trigger"):
        ephys.detect_pscs(recordings["demo"], {TRIGGER: 1000})
    with pytest.raises(ValueError):
        ephys.detect_pscs(recordings["demo"], {"No such row": 1})
    with pytest.raises(ValueError, match="Frames"):
        ephys.detect_pscs(recordings["demo"], {"Frames": "0..x"})
    with pytest.raises(ValueError, match="detector"):
        ephys.detect_pscs(recordings["demo"], detector="no-such-detector")
    with pytest.raises(ValueError, match="rise below decay"):
        ephys.detect_pscs(recordings["demo"], detector="template", template_rise_ms=6, template_decay_ms=5)
    missing = tmp_path / "missing.abf"
    with pytest.raises(ephys.RecordingError, match="missing.abf"):
        ephys.detect_pscs(missing)
    garbage = tmp_path / "garbage.abf"
    garbage.write_bytes(b"no recording" * 100)
    with pytest.raises(ephys.RecordingError) as raised:
        ephys.detect_pscs(garbage)
    with pytest.raises(ephys.RecordingError) as read:
        ephys.read_abf(garbage)
    assert str(read.value) in str(raised.value)
