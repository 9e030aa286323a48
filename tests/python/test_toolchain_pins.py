"""The toolchain root's pip layers install their pins without dependencies, so a pin list
that misses a requirement, or two layers that pin the same package, only fail later, at
import time or when one layer's reinstall uninstalls the other's package."""

import importlib.metadata
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The layers installed into the root; the runtime list is a wheelhouse, not installed.
LAYERS = ["toolchain-pip.txt", "toolchain-peers.txt", "toolchain-torch.txt"]
PIN = re.compile(r"^([A-Za-z0-9][A-Za-z0-9._-]*)==([A-Za-z0-9.+!-]+)$")


def _normal(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


def _pins(layer: str) -> dict[str, str]:
    pins = {}
    with open(os.path.join(ROOT, "tools", layer)) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            match = PIN.match(line)
            assert match, f"{layer}: {line!r} is not an exact name==version pin"
            name = _normal(match.group(1))
            assert name not in pins, f"{layer} pins {name} twice"
            pins[name] = match.group(2)
    return pins


def test_every_layer_pins_exactly_and_no_package_is_in_two_layers():
    owner: dict[str, str] = {}
    for layer in LAYERS:
        for name in _pins(layer):
            assert name not in owner, f"{name} is pinned in both {owner[name]} and {layer}"
            owner[name] = layer


def _from_debian(name: str) -> str | None:
    """The version of NAME that the root's Debian packages installed, if they did."""
    try:
        dist = importlib.metadata.distribution(name)
    except importlib.metadata.PackageNotFoundError:
        return None
    return dist.version if str(dist.locate_file("")).startswith("/usr/lib/python3/") else None


def test_torch_layer_requirements_are_pinned_or_debians_at_versions_they_accept():
    # Read from the installed metadata, without importing torch (seconds on a loaded machine).
    try:
        importlib.metadata.version("torch")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the torch layer is not installed")
    requirements = pytest.importorskip("packaging.requirements")
    pinned = {name: version for layer in LAYERS for name, version in _pins(layer).items()}
    unmet = []
    for name, version in _pins("toolchain-torch.txt").items():
        assert importlib.metadata.version(name) == version, f"{name} is installed, but not at its pin"
        for text in importlib.metadata.requires(name) or []:
            req = requirements.Requirement(text)
            if req.marker is not None and not req.marker.evaluate({"extra": ""}):
                continue
            have = pinned.get(_normal(req.name)) or _from_debian(req.name)
            if have is None:
                unmet.append(f"{name} needs {req}, which no pin list or Debian package provides")
            elif not req.specifier.contains(have, prereleases=True):
                unmet.append(f"{name} needs {req}, but {have} is what the root gets")
    assert not unmet, "\n".join(unmet)
