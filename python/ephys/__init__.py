"""Recordings and analyses of the ephys suite from Python.

The suite's own ABF reader and its three engines (PSC detection as in ``psctrawl``, spike
counting as in ``spktal``, waveform synthesis as in ``swg``), without files in between:

    import ephys
    rec = ephys.read_abf("cell.abf")          # rec.data: float32 (sweeps, channels, samples)
    events = ephys.detect_pscs(rec, {"Diff. trigger ([+-]pa/ms)": -3})
    frame = ephys.detect_pscs_frame(rec)      # the same as a pandas DataFrame

Settings are given as ``{row label: value}``, the labels of the programs' parameter tables as
``--set "LABEL=VALUE"`` takes them (matched without regard to case; True/False for yes/no rows,
a key letter for a choice). Every run starts from the built-in defaults (like ``--no-ini``).

Long work runs without the interpreter's lock, so other Python threads go on meanwhile. Every
run takes an optional ``progress(percent, line1, line2)`` callable; returning False (or raising)
cancels the run: detect_pscs stops at the next frame, the spike count and the waveform finish
their work first; either way RuntimeError (or the callback's exception) is raised and nothing is
returned.

A recording that cannot be read raises RecordingError (an OSError) whose text is the reader's
reason and names the file; a refused setting raises ValueError with the program's text.
"""

import os

import numpy as np

from ._ephys import RecordingError
from ._ephys import _count_spikes, _detect_pscs, _make_waveform, _read_abf
from ._ephys import _write_abf

__all__ = [
    "Recording",
    "RecordingError",
    "read_abf",
    "write_abf",
    "detect_pscs",
    "detect_pscs_frame",
    "count_spikes",
    "make_waveform",
    "EVENT_COLUMNS",
]

# The columns of detect_pscs: the 16 columns of psctrawl's event table (.PRN), each as the
# table's writer computes it before printing, then four of the detector's own.
EVENT_COLUMNS = {
    "event": "Event # (from 1)",
    "event_type": "Event type (1, 2 or 3)",
    "time_s": "times (sec): event time in the recording",
    "interval_s": "interval (sec) from the previous event; NaN for the first",
    "rise_time_ms": "10-90 rise time (ms); -1 when not measured",
    "width_25_ms": "25%-width (ms): width at 75 % of the peak; NaN when not measured",
    "half_width_ms": "half-width (ms); NaN when not measured",
    "width_90_ms": "90% width (ms): width at 10 % of the peak; NaN when not measured",
    "amplitude_pa": "amplitude (pA): peak - baseline, signed",
    "cum_prob": "Cum. Prob.: event number / event count",
    "charge_fc": "Charge(fC) (pA.ms); NaN when not measured (events of type 2 and 3)",
    "wtdtau_ms": "wtdtau(ms): charge / amplitude; NaN when there is no charge or amplitude",
    "decay_ratio": "decay ratio: half-width / 90% width; NaN when either is missing",
    "episode": "Episode # (from 1) of episodic recordings; 0 for continuous ones",
    "epoch": "Epoch #: 1 pre, 2 triggered, 3 post, 5 ignored window; 0 for continuous recordings",
    "time_in_episode_ms": "Event time (ms) from the start of its episode; NaN for continuous recordings",
    "event_time_ms": "event time (ms), the detector's own column",
    "baseline_pa": "baseline current before the event (pA)",
    "sample_time_ms": "event time (ms) without the time map of episodic recordings",
    "peak_time_ms": "time of the peak (ms)",
}


class Recording:
    """A recording read by read_abf.

    data                float32 array (sweeps, channels, samples) in the recording's units
                        (gap-free data: one sweep; shorter sweeps padded with NaN)
    sample_interval_us  per channel
    channel_names, channel_units, physical_channels   per channel, in sampling order
    sweep_start_s       start of each sweep in the recording (s)
    sweep_lengths       samples per channel of each sweep
    tags                [(time_s, text), ...]
    protocol            per sweep, the epochs of the stimulus waveform where they lie in it
    header              what abfinfo --json says about the recording (same names)
    path                the file read
    """

    __slots__ = ("path", "data", "sample_interval_us", "channel_names", "channel_units",
                 "physical_channels", "sweep_start_s", "sweep_lengths", "tags", "protocol",
                 "header", "short_recording")

    def __init__(self, fields):
        for name in self.__slots__:
            setattr(self, name, fields[name])

    @property
    def time_s(self):
        """Sample times within a sweep (s), one per sample of data's last axis."""
        return np.arange(self.data.shape[2]) * (self.sample_interval_us * 1e-6)

    def __repr__(self):
        sweeps, channels, samples = self.data.shape
        return (f"<Recording {os.path.basename(self.path)!r}: {sweeps} sweep(s), {channels} channel(s) "
                f"{self.channel_names} in {self.channel_units}, {samples} samples at "
                f"{self.sample_interval_us:g} us>")


def read_abf(path):
    """Reads an ABF recording (ABF 1 or 2) whole into a Recording."""
    return Recording(_read_abf(os.fsdecode(path)))


def write_abf(path, data, sample_interval_us, channel_names=None, channel_units=None, *,
              overwrite=False):
    """Writes samples as an ABF 2 recording with float32 samples.

    data: (channels, samples) for a gap-free recording, or (sweeps, channels, samples) for an
    episodic one whose sweeps follow one another without a pause, as read_abf's data is. A
    Recording may be given instead: its data, interval, names and units are written, gap-free
    when it was gap-free.
    sample_interval_us: per channel (taken from a Recording when None).
    channel_names: one per channel, at most 10 characters (default "Im" for one channel, else
    "IN 0", "IN 1", ...); channel_units: at most 8 characters (default "pA").
    An existing file is replaced only when overwrite is True. The file appears complete or not
    at all; a failure raises RecordingError naming the file and the reason, a shape or
    description the writer cannot store raises ValueError.
    """
    gap_free = None
    if isinstance(data, Recording):
        gap_free = data.header.get("operation_mode") == 3
        if sample_interval_us is None:
            sample_interval_us = data.sample_interval_us
        channel_names = data.channel_names if channel_names is None else channel_names
        channel_units = data.channel_units if channel_units is None else channel_units
        data = data.data
    samples = np.asarray(data)
    if samples.ndim == 2 and gap_free is None:
        gap_free = True
        samples = samples[np.newaxis]
    elif samples.ndim == 3 and gap_free is None:
        gap_free = False
    elif samples.ndim != 3:
        raise ValueError(f"write_abf: data must be (channels, samples) or (sweeps, channels, samples), "
                         f"not of shape {samples.shape}")
    if not np.issubdtype(samples.dtype, np.number) or np.issubdtype(samples.dtype, np.complexfloating):
        raise ValueError(f"write_abf: data must be real numbers, not {samples.dtype}")
    channels = samples.shape[1]
    if channel_names is None:
        channel_names = ["Im"] if channels == 1 else [f"IN {c}" for c in range(channels)]
    if channel_units is None:
        channel_units = ["pA"] * channels
    if isinstance(channel_names, str) or isinstance(channel_units, str):
        raise ValueError("write_abf: channel_names and channel_units are lists, one entry per channel")
    if sample_interval_us is None:
        raise ValueError("write_abf: the sample interval (us) is needed for data that is no Recording")
    interval = float(sample_interval_us)
    _write_abf(os.fsdecode(path), np.ascontiguousarray(samples, dtype=np.float32), gap_free, interval,
               list(channel_names), list(channel_units), bool(overwrite))


def _recording_path(path_or_recording):
    if isinstance(path_or_recording, Recording):
        return path_or_recording.path
    return os.fsdecode(path_or_recording)


def detect_pscs(path_or_recording, settings=None, detector="slope", *, params_file=None,
                max_events=63999, output_dir=None, overwrite=False, progress=None,
                template_rise_ms=0.5, template_decay_ms=5.0, threshold_sd=None, template_from_recording=False,
                hum_hz=None):
    """Finds and measures the postsynaptic currents of a recording as psctrawl --batch does.

    Returns the event table as {column: numpy array}; EVENT_COLUMNS describes the columns.
    settings: {row label: value} as psctrawl's --set takes them ("Frames" included).
    detector: "slope" (the dI/dt trigger), "deconvolution" or "template" (by the event's shape,
    with template_rise_ms, template_decay_ms and threshold_sd as psctrawl's --template-rise-ms,
    --template-decay-ms and --threshold-sd; None: the detector's default threshold).
    template_from_recording: fit the template's kinetics to the recording's own clearest events
    first, starting from template_rise_ms and template_decay_ms, as psctrawl's
    --template-from-recording (a model detector only); the line that says what was found comes as
    a UserWarning.
    hum_hz: the mains frequency whose hum (with its second and third harmonics) a model detector
    takes out of the current first, as psctrawl's --hum-hz: None or "auto" (the default) looks for
    50 and 60 Hz, 0 takes nothing out; what was taken out comes as a UserWarning.
    params_file: a parameter file whose [Parameters] apply before the settings (--params).
    max_events: events stored at most (--max-events; 0: no limit).
    output_dir: also write psctrawl's output files there (nothing is written without it);
    overwrite: replace outputs that exist (--overwrite).
    A Recording given instead of a path is analysed from its file.
    """
    return _detect_pscs(_recording_path(path_or_recording), settings, detector,
                        None if params_file is None else os.fsdecode(params_file), max_events,
                        None if output_dir is None else os.fsdecode(output_dir), overwrite, progress,
                        template_rise_ms, template_decay_ms, threshold_sd, template_from_recording, hum_hz)


def detect_pscs_frame(path_or_recording, settings=None, detector="slope", **options):
    """detect_pscs as a pandas DataFrame, one row per event (needs pandas)."""
    try:
        import pandas
    except ImportError as missing:
        raise ImportError("detect_pscs_frame needs pandas (Debian: python3-pandas)") from missing
    return pandas.DataFrame(detect_pscs(path_or_recording, settings, detector, **options))


def count_spikes(path_or_recording, settings=None, *, params_file=None, output_dir=None, progress=None):
    """Counts the action potentials of every sweep and channel as spktal --batch does.

    Returns a dict:
      channels          physical channels counted
      sweep, sweep_start_s, stimulus_pa       per sweep
      counts            (sweeps, channels) spikes counted; -1 where the sweep could not be read
      first_latency_ms  (sweeps, channels) latency of the first spike; NaN without spikes
      spikes            {sweep, channel, latency_ms, amplitude}: every spike, one entry each
      fi                {"first"|"middle"|"last": {stimulus_pa, frequency_hz, n, slope, intercept,
                        x_intercept, r_squared, last_stimulus_pa, fitted_at_last_hz}}: the F/I
                        points and fits (NaN where a fit has no line or no X intercept)
      result_text       what spktal prints for the recording
    output_dir: also write spktal's output files there (else they go to a temporary folder).
    """
    return _count_spikes(_recording_path(path_or_recording), settings,
                         None if params_file is None else os.fsdecode(params_file),
                         None if output_dir is None else os.fsdecode(output_dir), progress)


def make_waveform(settings=None, seed=None, *, params_file=None, progress=None):
    """The waveform swg --batch [--seed N] writes, as {time_ms, value_pa, sample_interval_us}.

    The ATF file holds the same samples written with four significant digits. Without a seed
    the noise comes from the clock, as in swg.
    """
    return _make_waveform(settings, seed, None if params_file is None else os.fsdecode(params_file),
                          progress)
