"""The toolchain root's pip layers install their pins without dependencies, so a pin list
that misses a requirement, or two layers that pin the same package, only fail later, at
import time or when one layer's reinstall uninstalls the other's package."""

import importlib.metadata
import os
import re
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The layers installed into the root, for its python3 and for its free-threaded python3.14t
# (which sees none of the other's packages); the runtime list is a wheelhouse.
# The python3 lists; toolchain-extras.txt is downloaded, not installed, but pins as a layer does.
LAYERS = ["toolchain-pip.txt", "toolchain-peers.txt", "toolchain-torch.txt", "toolchain-docs.txt",
          "toolchain-extras.txt"]
FREE_THREADED_LAYERS = ["toolchain-ft.txt", "toolchain-ft-torch.txt"]
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
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


@pytest.mark.parametrize("layers", [LAYERS, FREE_THREADED_LAYERS], ids=["python3", "python3.14t"])
def test_every_layer_pins_exactly_and_no_package_is_in_two_layers(layers):
    owner: dict[str, str] = {}
    for layer in layers:
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


def _unmet(layer: str, pinned: dict[str, str], debian: bool, left_out: frozenset[str] = frozenset()) -> list[str]:
    """What the installed pins of LAYER require that neither PINNED nor (if DEBIAN) the
    root's Debian packages provide at an accepted version, but the packages LEFT_OUT on
    purpose."""
    requirements = pytest.importorskip("packaging.requirements")
    unmet = []
    for name, version in _pins(layer).items():
        assert importlib.metadata.version(name) == version, f"{name} is installed, but not at its pin"
        for text in importlib.metadata.requires(name) or []:
            req = requirements.Requirement(text)
            if req.marker is not None and not req.marker.evaluate({"extra": ""}) or _normal(req.name) in left_out:
                continue
            have = pinned.get(_normal(req.name)) or (_from_debian(req.name) if debian else None)
            if have is None:
                unmet.append(f"{name} needs {req}, which no pin list{' or Debian package' * debian} provides")
            elif not req.specifier.contains(have, prereleases=True):
                unmet.append(f"{name} needs {req}, but {have} is what the root gets")
    return unmet


@pytest.mark.skipif(FREE_THREADED, reason="the layers of the root's python3")
@pytest.mark.parametrize("layer, package", [("toolchain-torch.txt", "torch"), ("toolchain-docs.txt", "sphinx")])
def test_layer_requirements_are_pinned_or_debians_at_versions_they_accept(layer, package):
    # Read from the installed metadata, without importing torch (seconds on a loaded machine).
    try:
        importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        pytest.skip(f"the layer of {layer} is not installed")
    pinned = {name: version for each in LAYERS for name, version in _pins(each).items()}
    unmet = _unmet(layer, pinned, debian=True)
    assert not unmet, "\n".join(unmet)


@pytest.mark.skipif(not FREE_THREADED, reason="the layers of the free-threaded interpreter")
@pytest.mark.parametrize("layer", FREE_THREADED_LAYERS)
def test_free_threaded_layers_need_only_their_own_pins(layer):
    # The free-threaded interpreter has its own prefix: Debian's packages are not its own.
    pinned = {name: version for each in FREE_THREADED_LAYERS for name, version in _pins(each).items()}
    # torch's triton turns the GIL back on when loaded, and serves only GPUs.
    unmet = _unmet(layer, pinned, debian=False, left_out=frozenset({"triton"}))
    assert not unmet, "\n".join(unmet)


def _pool_fetcher() -> str:
    """The toolchain's Python that fetches a source package from the archive's pool."""
    with open(os.path.join(ROOT, "tools", "toolchain")) as f:
        script = f.read()
    return script.split('<<"PY" || exit 3\n', 1)[1].split("\nPY\n", 1)[0]


@pytest.mark.parametrize("listed, fetched", [
    (["python3.14_3.14.7.orig.tar.xz", "python3.14_3.14.7-1.debian.tar.xz"], True),
    (["../../escaped"], False),
    (["/tmp/escaped"], False),
    ([".hidden"], False),
])
def test_the_pool_fetcher_writes_only_plain_names_into_its_folder(tmp_path, listed, fetched):
    import subprocess
    import sys

    pool = tmp_path / "mirror" / "pool" / "main" / "p" / "python3.14"
    pool.mkdir(parents=True)
    lines = "".join(f" {'0' * 64} 1 {name}\n" for name in listed)
    (pool / "python3.14_3.14.7-1.dsc").write_text(f"Source: python3.14\nChecksums-Sha256:\n{lines}Files:\n")
    for name in listed:
        target = pool / name
        if tmp_path in target.resolve().parents:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text("x")
    work = tmp_path / "a" / "b" / "work"
    work.mkdir(parents=True)
    done = subprocess.run([sys.executable, "-", "python3.14=3.14.7-1", (tmp_path / "mirror").as_uri()],
                          input=_pool_fetcher(), text=True, capture_output=True, cwd=work)
    assert (done.returncode == 0) == fetched, done.stderr
    written = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")
                     if p.is_file() and "mirror" not in p.parts)
    assert written == sorted(f"a/b/work/{name}" for name in ["python3.14_3.14.7-1.dsc", *(listed if fetched else [])])
    assert not os.path.exists("/tmp/escaped")
