"""write_abf: recordings written from numpy arrays read back by read_abf and abfinfo, and what it
refuses to write."""

import json
import os

import numpy as np
import pytest

import ephys
from conftest import program, run


def noise(shape, seed=1):
    """Float64 values of a few hundred units with fractions that float32 rounds."""
    return np.random.default_rng(seed).normal(0.0, 300.0, size=shape)


def test_gap_free_channels_round_trip(tmp_path):
    path = tmp_path / "gapfree.abf"
    data = noise((2, 30001))
    data[1] += 1e4  # a channel far from zero keeps its fractions as float32 does
    ephys.write_abf(path, data, 50.0, channel_names=["Im", "Vm"], channel_units=["pA", "mV"])
    rec = ephys.read_abf(path)
    assert rec.data.shape == (1, 2, 30001)
    np.testing.assert_array_equal(rec.data[0], data.astype(np.float32))
    assert rec.sample_interval_us == 50.0
    assert rec.channel_names == ["Im", "Vm"]
    assert rec.channel_units == ["pA", "mV"]
    assert rec.header["operation_mode"] == 3
    assert rec.header["data_format"] == "float32"
    assert rec.header["abf_version"] == 2

    info = json.loads(run([program("abfinfo"), "--json", "--no-data", path]).stdout)
    assert info["operation_mode"] == 3 and info["channels"] == 2 and info["samples_per_sweep"] == 30001
    assert info["channel_names"] == ["Im", "Vm"] and info["sampling_interval_us"] == 50.0


def test_episodic_sweeps_round_trip_with_default_names(tmp_path):
    path = tmp_path / "episodic.abf"
    data = noise((4, 3, 1000), seed=2).astype(np.float32)
    data[2, 1, 17] = -1.5e-30  # tiny and huge values are stored as they are
    data[3, 0, 999] = 3.0e38
    ephys.write_abf(path, data, 100.0)
    rec = ephys.read_abf(path)
    np.testing.assert_array_equal(rec.data, data)
    assert rec.header["operation_mode"] == 5
    assert rec.channel_names == ["IN 0", "IN 1", "IN 2"]
    assert rec.channel_units == ["pA"] * 3
    np.testing.assert_array_equal(rec.sweep_lengths, [1000] * 4)
    # Sweeps follow one another: 1000 samples of 100 us each.
    np.testing.assert_allclose(rec.sweep_start_s, [0.0, 0.1, 0.2, 0.3], atol=1e-9)

    one = tmp_path / "one.abf"
    ephys.write_abf(one, data[0, :1], 100.0)
    assert ephys.read_abf(one).channel_names == ["Im"]


@pytest.mark.parametrize("mode", [3, 5])
def test_a_recording_read_is_written_again_as_it_was(tmp_path, mode):
    first = tmp_path / "first.abf"
    data = noise((2, 500), seed=3) if mode == 3 else noise((3, 2, 500), seed=3)
    ephys.write_abf(first, data, 40.0, channel_names=["a", "b"], channel_units=["mV", "nA"])
    rec = ephys.read_abf(first)
    again = tmp_path / "again.abf"
    ephys.write_abf(again, rec, None)
    copy = ephys.read_abf(again)
    np.testing.assert_array_equal(copy.data, rec.data)
    assert copy.header["operation_mode"] == mode
    assert (copy.sample_interval_us, copy.channel_names, copy.channel_units) == (40.0, ["a", "b"], ["mV", "nA"])
    # The array alone round-trips as well.
    ephys.write_abf(again, rec.data, rec.sample_interval_us, overwrite=True)
    np.testing.assert_array_equal(ephys.read_abf(again).data, rec.data)


def test_an_existing_file_is_replaced_only_when_asked(tmp_path):
    path = tmp_path / "kept.abf"
    ephys.write_abf(path, np.ones((1, 100)), 50.0)
    before = path.read_bytes()
    with pytest.raises(ephys.RecordingError) as raised:
        ephys.write_abf(path, np.zeros((1, 200)), 50.0)
    assert "kept.abf" in str(raised.value) and "exists" in str(raised.value)
    assert path.read_bytes() == before
    ephys.write_abf(path, np.zeros((1, 200)), 50.0, overwrite=True)
    assert ephys.read_abf(path).data.shape == (1, 1, 200)
    assert sorted(os.listdir(tmp_path)) == ["kept.abf"]  # no temporary file left behind


@pytest.mark.parametrize(
    "data, interval, options",
    [
        (np.zeros(100), 50.0, {}),  # one axis
        (np.zeros((1, 1, 1, 100)), 50.0, {}),  # four axes
        (np.zeros((1, 0)), 50.0, {}),  # no samples
        (np.zeros((0, 1, 100)), 50.0, {}),  # no sweeps
        (np.zeros((17, 100)), 50.0, {}),  # more channels than a file holds
        (np.zeros((1, 100)), float("nan"), {}),
        (np.zeros((1, 100)), float("inf"), {}),
        (np.zeros((1, 100)), 0.0, {}),
        (np.zeros((1, 100)), -50.0, {}),
        (np.zeros((1, 100)), None, {}),
        (np.zeros((2, 100)), 50.0, {"channel_names": ["one"]}),
        (np.zeros((1, 100)), 50.0, {"channel_names": ["a name too long"]}),
        (np.zeros((1, 100)), 50.0, {"channel_units": ["far too long"]}),
        (np.zeros((1, 100)), 50.0, {"channel_units": "pA"}),
        (np.array([["a", "b"]]), 50.0, {}),
    ],
)
def test_what_cannot_be_written_is_refused_before_any_file(tmp_path, data, interval, options):
    path = tmp_path / "refused.abf"
    with pytest.raises(ValueError):
        ephys.write_abf(path, data, interval, **options)
    assert os.listdir(tmp_path) == []


def test_a_folder_that_cannot_be_written_raises_recording_error(tmp_path):
    missing = tmp_path / "no such folder" / "x.abf"
    with pytest.raises(ephys.RecordingError) as raised:
        ephys.write_abf(missing, np.zeros((1, 100)), 50.0)
    assert "x.abf" in str(raised.value)
    assert isinstance(raised.value, OSError)

    if os.geteuid() == 0:
        return  # the superuser writes into read-only folders
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o500)
    try:
        with pytest.raises(ephys.RecordingError) as raised:
            ephys.write_abf(locked / "y.abf", np.zeros((1, 100)), 50.0)
        assert "y.abf" in str(raised.value)
        assert os.listdir(locked) == []
    finally:
        locked.chmod(0o700)
