"""Shared fixtures of the module's tests: the built programs (from the environment ctest sets)
and recordings written at test time by abfsynth."""

import os
import pathlib
import shutil
import subprocess

import pytest


def program(name):
    path = os.environ.get(name.upper())
    if not path or not os.path.exists(path):
        pytest.skip(f"{name} not built (ctest passes its path in ${name.upper()})")
    return path


def run(args, cwd=None, check=True):
    done = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True)
    if check and done.returncode != 0:
        raise AssertionError(f"{args[0]} exited {done.returncode}: {done.stderr}")
    return done


def synth(folder, name, *options):
    """A recording written by abfsynth into `folder`; returns its path."""
    path = pathlib.Path(folder) / name
    run([program("abfsynth"), "--out", path, *options])
    return path


@pytest.fixture(scope="session")
def written(tmp_path_factory):
    """Recordings of every layout the reader knows, written by abfsynth once per session."""
    folder = tmp_path_factory.mktemp("written")
    return {
        "gapfree_int16": synth(folder, "gapfree_int16.abf", "--duration", "3", "--seed", "2"),
        "gapfree_abf1": synth(folder, "gapfree_abf1.abf", "--duration", "2", "--abf1", "--tag", "0.5:wash in",
                              "--tag", "1.5:wash out"),
        "gapfree_float": synth(folder, "gapfree_float.abf", "--duration", "2", "--format", "float32"),
        "episodic_psc": synth(folder, "episodic_psc.abf", "--sweeps", "4", "--sweep-length", "0.5",
                              "--seed", "3"),
        "spikes_two_channels": synth(folder, "spikes_two_channels.abf", "--kind", "spikes", "--sweeps",
                                     "5", "--channels", "2"),
        "spikes_abf1": synth(folder, "spikes_abf1.abf", "--kind", "spikes", "--sweeps", "4", "--abf1"),
        "spikes_float": synth(folder, "spikes_float.abf", "--kind", "spikes", "--sweeps", "3", "--format",
                              "float32"),
    }


def samples_dir():
    folder = os.environ.get("EPHYS_ABF_SAMPLES_DIR", "")
    return pathlib.Path(folder) if folder and os.path.isdir(folder) else None


def real_recordings():
    """The small real recordings kept with the tests, and the extra collection where present."""
    found = sorted(pathlib.Path(os.environ.get("EPHYS_TEST_DATA_DIR", "."), "abf").glob("*.abf"))
    extra = samples_dir()
    if extra is not None:
        found += sorted(extra.glob("*.abf"))
    return found


def copy_into(folder, path):
    target = pathlib.Path(folder) / pathlib.Path(path).name
    shutil.copyfile(path, target)
    return target
