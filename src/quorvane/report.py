"""What ``quorvane.convert`` did, and its one text form (also the converter command's)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the report itself needs no torch: the command line formats it before importing torch
    import torch.nn as nn

# Above this fraction of the median, an interquartile range makes a timing ratio noise.
NOISY_SPREAD = 0.2

# The forms the converter command times, in the order it runs them.
TRAINED, SEQUENTIAL, THREADED, WITHOUT_DENDRITES = "trained", "sequential", "threaded", "without dendrites"


@dataclass(frozen=True)
class ConvertedWrapper:
    """One trained wrapper that became a ``ZORModulePyThread``."""

    path: str        #: where it sits, dotted as in ``named_modules`` ("head.0")
    dendrites: int   #: dendrite layers beside the main layer
    parameters: int  #: parameter tensors of the converted module
    shared: int      #: of those, how many are the trained network's own tensor objects


@dataclass(frozen=True)
class UnconvertedWrapper:
    """A trained wrapper (or its half-converted ``ZORLayer`` block) left in the network."""

    path: str    #: where it sits ("" for the root)
    kind: str    #: its class name: "ZORNeuronModule", a subclass's name, or "ZORLayer"
    reason: str  #: one of the reason constants of ``quorvane.conversion`` ("root", "subclass", ...)
    detail: str  #: the reason in words


@dataclass(frozen=True)
class Verification:
    """Largest absolute output difference between the trained and the converted form on
    the same inputs, in sequential and in threaded mode."""

    sequential: float
    threaded: float | None   #: None when the threaded forward could not be compared
    note: str | None         #: why it could not, or None
    inputs: str | None = None  #: the inputs compared on, in words ("shape (8, 3) float32")
    #: parameters a forward wrote in place, by path: verification could not put their
    #: values back (they hold what one trained forward left); () when none
    written: tuple[str, ...] = ()

    @property
    def max_difference(self) -> float:
        return self.sequential if self.threaded is None else max(self.sequential, self.threaded)


@dataclass(frozen=True)
class ParameterCost:
    """Parameter elements of the converted network (each tensor counted once), split by
    what the dendrites add. The network without dendrites is the converted one with each
    clean module replaced by its main layer: everything but the dendrite layers and skip
    weights of the clean modules."""

    without_dendrites: int  #: elements outside the clean modules' dendrite layers and skip weights
    main_layers: int        #: of those, in the clean modules' main layers
    dendrites: int          #: elements in the clean modules' dendrite layers
    skip_weights: int       #: elements in the clean modules' skip weights

    @property
    def total(self) -> int:
        return self.without_dendrites + self.dendrites + self.skip_weights

    @property
    def ratio(self) -> float:
        """Parameters with the dendrites / parameters without them."""
        return self.total / self.without_dendrites if self.without_dendrites else float("inf")


@dataclass(frozen=True)
class Timing:
    """Forward-pass times of the forms the converter command compares: the median and
    the interquartile range (seconds) of each, by form name (``TRAINED``, ``SEQUENTIAL``,
    ``THREADED``, ``WITHOUT_DENDRITES``)."""

    times: dict[str, tuple[float, float]]
    repeats: int
    warmup: int
    device: str
    threads: int


@dataclass(frozen=True)
class ConversionReport:
    """What ``quorvane.convert`` did."""

    network: nn.Module                        #: the converted network: use this object from now on
    converted: tuple[ConvertedWrapper, ...]
    unconverted: tuple[UnconvertedWrapper, ...]
    parameters: int                           #: parameter tensors of the converted network
    shared_parameters: int                    #: of those, the caller's own tensor objects
    verification: Verification | None = None
    wrappers: int = 0                         #: trained wrappers (exact ZORNeuronModule) before the conversion
    clean_modules: int = 0                    #: ZORModulePyThread modules made (one may sit at several positions)
    modules: int = 0                          #: modules of the converted network
    shared_modules: int = 0                   #: of those, the caller's own module objects
    inplace: bool = True                      #: False: a copy was converted, the caller's network left alone
    cost: ParameterCost | None = None
    timing: Timing | None = None              #: filled in by the converter command

    @property
    def max_difference(self) -> float | None:
        """The largest output difference found by ``verify``, or None without it."""
        return None if self.verification is None else self.verification.max_difference

    def lines(self, *, positions: bool = True, tolerance: float | None = None) -> list[str]:
        """The report as text, one line per fact; `positions` lists each converted
        position, `tolerance` is shown beside the difference."""
        out = self._conversion_lines(positions)
        if self.cost is not None:
            out.append(_cost_line(self.cost))
        if self.verification is not None:
            out += _difference_lines(self.verification, tolerance)
        if self.timing is not None:
            out += _timing_lines(self.timing)
        return out

    def __str__(self) -> str:
        return "\n".join(self.lines())

    def _conversion_lines(self, positions: bool) -> list[str]:
        where = f" (at {counted(len(self.converted), 'position')})" if self.clean_modules != len(self.converted) else ""
        out = [f"converted:   {counted(self.wrappers, 'ZORNeuronModule wrapper')} -> "
               f"{counted(self.clean_modules, 'ZORModulePyThread module')}{where}"]
        if positions:
            out += [f"             {item.path}: {counted(item.dendrites, 'dendrite')}, {item.shared} of "
                    f"{counted(item.parameters, 'parameter tensor')} the trained network's own"
                    for item in self.converted]
        out += [f"unconverted: {item.path or '(root)'} ({item.kind}): {item.reason}: {item.detail}"
                for item in self.unconverted]
        copied = self.parameters - self.shared_parameters
        out.append(f"shared:      {self.shared_parameters} of {counted(self.parameters, 'parameter tensor')} and "
                   f"{self.shared_modules} of {counted(self.modules, 'module')} are the trained network's own "
                   f"({copied} copied{'' if self.inplace else ': inplace=False converted a copy'})")
        return out


def counted(number: int, noun: str) -> str:
    """"1 wrapper", "1,024 wrappers"."""
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


def _cost_line(cost: ParameterCost) -> str:
    return (f"dendrites:   {cost.without_dendrites:,} parameters without them ({cost.main_layers:,} in the main "
            f"layers); the dendrite layers add {cost.dendrites:,} and the skip weights {cost.skip_weights:,}: "
            f"{cost.total:,} in all, {cost.ratio:.2f}x")


def _difference_lines(v: Verification, tolerance: float | None) -> list[str]:
    threaded = f"{v.threaded:.3g}" if v.threaded is not None else "not compared"
    inputs = f" on input of {v.inputs}" if v.inputs else ""
    limit = f"; tolerance {tolerance:g}" if tolerance is not None else ""
    out = [f"difference:  max |trained - converted| = {v.max_difference:.3g}{inputs} "
           f"(sequential {v.sequential:.3g}, threaded {threaded}{limit})"]
    if v.note:
        out.append(f"             {v.note}")
    if v.written:
        out.append(f"             the forward writes parameters in place; verification could not put back "
                   f"{', '.join(v.written)}: they hold the values one trained forward left")
    return out


def _show(times: dict[str, tuple[float, float]], name: str) -> str:
    median, spread = times[name]
    return f"{median * 1e3:.3f} ms (IQR {spread * 1e3:.3f})"


def _timing_lines(t: Timing) -> list[str]:
    times = t.times
    base = times[TRAINED][0]
    sequential = times[SEQUENTIAL][0]
    out = [f"forward:     trained {_show(times, TRAINED)}; converted {_show(times, SEQUENTIAL)} sequential "
           f"({base / sequential:.2f}x), {_show(times, THREADED)} threaded ({base / times[THREADED][0]:.2f}x)"]
    if WITHOUT_DENDRITES in times:
        out.append(f"             without the dendrites {_show(times, WITHOUT_DENDRITES)}: the converted sequential "
                   f"forward takes {sequential / times[WITHOUT_DENDRITES][0]:.2f}x that (each clean module "
                   "replaced by its main layer alone)")
    out.append(f"             medians and interquartile ranges of {t.repeats} interleaved runs after "
               f"{counted(t.warmup, 'warm-up run')}, on {t.device} with {counted(t.threads, 'torch thread')}; "
               "Nx = trained time / converted time")
    noisy = [name for name, (median, spread) in times.items() if median > 0 and spread > NOISY_SPREAD * median]
    if noisy:
        names = noisy[0] if len(noisy) == 1 else f"{', '.join(noisy[:-1])} and {noisy[-1]}"
        advice = "more --repeats, or --torch-threads 1" if t.threads > 1 else "more --repeats, or a quieter machine"
        out.append(f"             the spread of the {names} times is over {NOISY_SPREAD:.0%} of their median, "
                   f"so the ratios with {'it' if len(noisy) == 1 else 'them'} mean little here (try {advice})")
    return out
