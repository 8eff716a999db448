"""read_abf against neo's independent ABF reader and against abfinfo, and what a file that is no
readable recording raises."""

import json
import math
import pathlib
import warnings

import numpy as np
import pytest

import ephys
from conftest import program, real_recordings, run, samples_dir

neo = pytest.importorskip("neo", reason="neo not installed (Debian: python3-neo)")


def neo_reading(path):
    """neo's reading of a recording: segments of (samples, channels) arrays, the channel units,
    the sample interval (us) and each segment's start (s); None when neo cannot read it."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            io = neo.io.AxonIO(filename=str(path))
            block = io.read_block(lazy=False)
    except Exception as failure:  # neo gives up on some layouts; the comparison then has nothing to compare
        return None, repr(failure)
    segments = [seg.analogsignals for seg in block.segments]
    units = [str(u) for u in io.header["signal_channels"]["units"]]
    return {
        "data": [np.hstack([np.asarray(s.magnitude) for s in sigs]) for sigs in segments],
        "units": units,
        "interval_us": 1e6 / float(segments[0][0].sampling_rate.rescale("Hz").magnitude),
        "starts": [float(seg.t_start.rescale("s").magnitude) for seg in block.segments],
    }, None


# Recordings of the extra collection that neo reads otherwise than their reference values say
# (test_where_neo_differs_the_reference_values_agree checks the reader against those):
NEO_DIFFERS = {
    "130618-1-12.abf": "sweeps",  # neo joins the three sweeps of this episodic file into one segment
    "multichannelAbf1WithTags.abf": "starts",  # neo starts every sweep at 0 s
    "test_0001.abf": "channels",  # neo's columns are not in the sampling order
}


def units_text(unit):
    """Units as neo spells them: no blanks, micro as u."""
    return unit.replace("\u00b5", "u").replace(" ", "")


def assert_agrees_with_neo(path):
    rec = ephys.read_abf(path)
    theirs, failure = neo_reading(path)
    if theirs is None:
        pytest.skip(f"neo cannot read {path.name}: {failure}")
    differs = NEO_DIFFERS.get(path.name)
    scale = np.abs(np.asarray(rec.header["scale"], dtype=np.float64))
    assert rec.sample_interval_us == pytest.approx(theirs["interval_us"], rel=1e-6)
    assert [units_text(u) for u in rec.channel_units] == theirs["units"]
    ours = [rec.data[s, :, :n].T for s, n in enumerate(rec.sweep_lengths)]
    if differs == "sweeps":
        ours = [np.vstack(ours)]
    assert len(ours) == len(theirs["data"])
    if differs not in ("starts", "sweeps"):
        np.testing.assert_allclose(rec.sweep_start_s, theirs["starts"], rtol=1e-6, atol=1e-9)
    for sweep, (mine, expected) in enumerate(zip(ours, theirs["data"])):
        assert expected.shape == mine.shape, f"sweep {sweep}"
        # A hundredth of one stored count: neo scales in double precision, the reader in float.
        tolerance = np.maximum(scale * 0.01, np.abs(expected).max(axis=0) * 1e-6)
        if differs == "channels":
            # Every column of neo's is one of the reader's channels.
            for column in expected.T:
                assert any(np.all(np.abs(c - column) <= tolerance.min()) for c in mine.T)
            continue
        assert np.all(np.abs(mine - expected) <= tolerance), f"sweep {sweep} differs from neo"
    for sweep, n in enumerate(rec.sweep_lengths):
        assert np.all(np.isnan(rec.data[sweep, :, n:]))


def test_where_neo_differs_the_reference_values_agree():
    folder = samples_dir()
    if folder is None or not (folder / "reference.json").exists():
        pytest.skip("the extra collection of recordings is not present")
    reference = json.loads((folder / "reference.json").read_text())
    for name in NEO_DIFFERS:
        expected = reference[name]
        rec = ephys.read_abf(folder / name)
        assert rec.data.shape[:2] == (expected["sweeps"], expected["channels"]), name
        if "sweep_start_s" in expected:
            np.testing.assert_allclose(rec.sweep_start_s, expected["sweep_start_s"], rtol=1e-6, atol=1e-6)
        for channel in expected["data"]:
            for sweep in channel["sweeps"]:
                values = rec.data[sweep["sweep"], channel["channel"], : rec.sweep_lengths[sweep["sweep"]]]
                np.testing.assert_allclose(values[:5], sweep["first5"], rtol=1e-6, atol=1e-6)
                np.testing.assert_allclose(values[-5:], sweep["last5"], rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("kind", ["gapfree_int16", "gapfree_abf1", "gapfree_float", "episodic_psc",
                                  "spikes_two_channels", "spikes_abf1", "spikes_float"])
def test_written_recordings_agree_with_neo(written, kind):
    assert_agrees_with_neo(written[kind])


@pytest.mark.parametrize("path", real_recordings(), ids=lambda p: p.name)
def test_real_recordings_agree_with_neo(path):
    assert_agrees_with_neo(path)


def test_layout_tags_and_protocol(written):
    rec = ephys.read_abf(written["gapfree_abf1"])
    assert rec.data.dtype == np.float32 and rec.data.flags["C_CONTIGUOUS"]
    assert rec.data.shape == (1, 1, 40000)
    assert [text for _, text in rec.tags] == ["wash in", "wash out"]
    assert [t for t, _ in rec.tags] == pytest.approx([0.5, 1.5], abs=1e-4)
    assert rec.protocol == [[]]

    spikes = ephys.read_abf(written["spikes_two_channels"])
    assert spikes.data.shape[:2] == (5, 2)
    steps = [[e for e in sweep if e["type"] == "step"] for sweep in spikes.protocol]
    assert all(len(s) >= 1 for s in steps)
    levels = [s[-1]["level"] for s in steps]
    # abfsynth's current steps grow by the same amount each sweep.
    assert np.allclose(np.diff(levels), levels[1] - levels[0]) and levels[1] != levels[0]
    assert spikes.time_s[1] == pytest.approx(spikes.sample_interval_us * 1e-6)


def abfinfo_json(path):
    done = run([program("abfinfo"), "--json", "--no-data", path])
    return json.loads(done.stdout)


def same(a, b):
    if isinstance(a, float) or isinstance(b, float):
        return b is None and (a is None or math.isnan(a)) or math.isclose(a, b, rel_tol=5.1e-7, abs_tol=1e-12)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@pytest.mark.parametrize("name", ["gapfree_abf1", "gapfree_float", "episodic_psc", "spikes_two_channels"])
def test_header_is_what_abfinfo_says(written, name):
    path = written[name]
    expected = abfinfo_json(path)
    header = ephys.read_abf(path).header
    for key in ("sha256", "data"):
        expected.pop(key)
    assert header.keys() == expected.keys()
    for key in expected:
        assert same(header[key], expected[key]), key


def test_header_of_real_recordings_is_what_abfinfo_says():
    for path in real_recordings():
        expected = abfinfo_json(path)
        header = ephys.read_abf(path).header
        for key in expected.keys() - {"sha256", "data"}:
            assert same(header[key], expected[key]), f"{path.name}: {key}"


def broken_files(folder):
    folder = pathlib.Path(folder)
    good = sorted(real_recordings())[0].read_bytes()
    files = {
        "missing.abf": None,
        "empty.abf": b"",
        "text.abf": b"this is no recording\n" * 40,
        "cut_in_header.abf": good[:300],
        "wrong_signature.abf": b"XYZ " + good[4:],
    }
    paths = []
    for name, content in files.items():
        path = folder / name
        if content is not None:
            path.write_bytes(content)
        paths.append(path)
    return paths


def test_files_that_are_no_recordings_raise_with_the_readers_reason(tmp_path):
    for path in broken_files(tmp_path):
        done = run([program("abfinfo"), "--no-data", path], check=False)
        assert done.returncode == 1
        reason = done.stderr.strip().split(": ", 2)[2]
        with pytest.raises(ephys.RecordingError) as raised:
            ephys.read_abf(path)
        assert str(raised.value) == reason
        assert path.name in str(raised.value)
        assert isinstance(raised.value, OSError)
