# %% [markdown]
# # Postsynaptic currents of a recording, from Python
#
# A notebook in cells (Jupyter, VS Code and Spyder run the `# %%` cells one by one; `python3
# docs/python_example.py` runs them all). It reads the demo recording with the suite's reader,
# finds its postsynaptic currents with psctrawl's detector and plots them.
#
# Build the suite first (`./test.sh`, or `cmake --build build`), then start Python with the
# module on its path: `PYTHONPATH=build/python /usr/bin/python3` (Debian's Python, for which the
# module is built).

# %%
import os
import pathlib

import numpy as np

import ephys

here = pathlib.Path(__file__).resolve().parent if "__file__" in globals() else pathlib.Path("docs").resolve()
recording = ephys.read_abf(here.parent / "examples" / "demo.abf")
print(recording)
print("units:", recording.channel_units, " sample interval:", recording.sample_interval_us, "us")

# %% [markdown]
# `recording.data` is a float32 array of (sweeps, channels, samples) in the recording's units;
# the demo is gap-free, so it has one sweep.

# %%
current = recording.data[0, 0]
time_s = recording.time_s
print(f"{current.size} samples, {time_s[-1]:.1f} s, mean {current.mean():.2f} {recording.channel_units[0]}")

# %% [markdown]
# Detection with psctrawl's settings, named by their row labels as `--set` takes them. The demo's
# currents are inward, so the trigger is a falling slope.

# %%
settings = {"Diff. trigger ([+-]pa/ms)": -3}
events = ephys.detect_pscs(recording, settings)
print(len(events["event"]), "events; columns:", ", ".join(events))
try:
    frame = ephys.detect_pscs_frame(recording, settings)
    print(frame[["time_s", "amplitude_pa", "rise_time_ms", "half_width_ms"]].describe())
except ImportError:
    print("pandas is not installed; the events stay a dict of numpy arrays")

# %% [markdown]
# The first two seconds with the events marked at their peaks, and the amplitude distribution.

# %%
try:
    import matplotlib

    if not os.environ.get("DISPLAY") and not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    plt = None
    print("matplotlib is not installed: no plots")

if plt is not None:
    shown = time_s < 2.0
    peaks = events["peak_time_ms"] / 1000.0
    on_screen = peaks < 2.0
    peak_index = np.rint(peaks[on_screen] / (recording.sample_interval_us * 1e-6)).astype(int)
    fig, (trace, histogram) = plt.subplots(2, 1, figsize=(10, 6), gridspec_kw={"height_ratios": [2, 1]})
    trace.plot(time_s[shown], current[shown], lw=0.5, color="0.3")
    trace.plot(peaks[on_screen], current[peak_index], "v", color="tab:red", label="event peaks")
    trace.set_xlabel("time (s)")
    trace.set_ylabel(f"current ({recording.channel_units[0]})")
    trace.legend(loc="lower right")
    histogram.hist(events["amplitude_pa"], bins=30, color="tab:blue")
    histogram.set_xlabel("amplitude (pA)")
    histogram.set_ylabel("events")
    fig.tight_layout()
    out = pathlib.Path(os.environ.get("EPHYS_EXAMPLE_OUTPUT", ".")) / "demo_events.png"
    fig.savefig(out, dpi=100)
    print("figure:", out)
    if matplotlib.get_backend().lower() != "agg":
        plt.show()
