"""Sphinx configuration of the Vantor documentation site.

Built by ``make docs`` with the modules of the build tree importable (``build/python`` and
``python`` on ``PYTHONPATH``), warnings as errors and every reference checked.
"""

import importlib
import os
import re
import sys

from sphinx.ext.autodoc._dynamic import _signatures
from sphinx.ext.autodoc.mock import _MockObject

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

project = "Vantor"
author = "the Vantor developers"
copyright = "the Vantor developers"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.viewcode",
    "api_coverage",
    "source_links",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_ext", "Thumbs.db", ".DS_Store"]

html_theme = "furo"
html_title = "Vantor"
# Everything the pages need is in the build: nothing is fetched when a page is built or read.
html_static_path: list[str] = []

myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist"]

# Each directive names its members (":members:" alone for all of them): a default for
# "members" would take the place of a directive's own list.
autodoc_default_options = {"undoc-members": True, "member-order": "bysource"}
autodoc_typehints = "signature"
# Methods that override Gymnasium's, PettingZoo's, SB3's or PyTorch's keep their own
# words: those packages' docstrings are written for their own sites.
autodoc_inherit_docstrings = False
autodoc_class_signature = "mixed"
# Defaults as the source writes them ("np.int32", not "<class 'numpy.int32'>").
autodoc_preserve_defaults = True

# The optional packages the training and SB3 modules import are documented from stand-ins
# where they are not installed (a docs-only toolchain); installed, the real ones are used.
_OPTIONAL = ("torch", "stable_baselines3", "sb3_contrib", "torchrl", "tensordict", "ray", "pettingzoo", "pygame",
             "matplotlib")


def _importable(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


autodoc_mock_imports = [name for name in _OPTIONAL if not _importable(name)]
if autodoc_mock_imports:
    # The network module sets up tensors when imported (an item assigned into a stand-in).
    _MockObject.__setitem__ = lambda self, key, value: None

# A class built on a stand-in inherits its __new__(*args, **kwargs), which autodoc would show
# as the constructor's signature; like typing.Generic's, it passes through, so the class's
# own __init__ is what to show.
_signatures._CLASS_NEW_BLACKLIST = _signatures._CLASS_NEW_BLACKLIST | {
    f"{_MockObject.__new__.__module__}.{_MockObject.__new__.__qualname__}"}

# References into the standard library and the packages Vantor builds on: this site does
# not fetch their inventories, so only these names may go unresolved.
_ELSEWHERE = ("collections", "contextlib", "os", "subprocess", "numpy", "gymnasium", "pettingzoo", "stable_baselines3",
              "torch")
nitpick_ignore_regex = [(r"py:.*", rf"({'|'.join(_ELSEWHERE)})(\..*)?")]


# The module's methods take their argument by position alone, and its binding names it
# arg0 in the docstring's signature; the site names it.
_POSITIONAL = {"vantor.Vantor.step": "action", "vantor.Vantor.parse_fen": "fen",
               "vantor.Vantor.restore_state": "state"}


def _signature(app, what, name, obj, options, signature, return_annotation):
    if signature and name in _POSITIONAL:
        signature = re.sub(r"\barg0\b(.*)\)$", rf"{_POSITIONAL[name]}\1, /)", signature)
    if signature:
        # pybind11 writes the instance into a method's signature; Python's methods show none.
        signature = re.sub(r"^\(self: [\w.]+(, )?", "(", signature)
        # A dataclass field made by a factory has "<factory>" for a default, which is no
        # Python and would leave the signature unparsed.
        signature = re.sub(r"= ?<factory>", "= ...", signature)
    return signature, return_annotation


def setup(app):
    app.connect("autodoc-process-signature", _signature)
