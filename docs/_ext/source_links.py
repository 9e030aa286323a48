"""Makes the links between the API pages and the source pages (sphinx.ext.viewcode) lead
somewhere.

An object documented under the package that exports it (``vantor_gym.VantorEnv``) lives in
another module (``vantor_gym.env``); the source page's link back names the object under
the first module name that documented anything of that source, which may be neither. Each
documented object gets that name as a second anchor. Modules without Python source (the
native ones) are left out of the source index, which would link to pages never written.
"""

from __future__ import annotations

from typing import Any

from sphinx import addnodes
from sphinx.ext.viewcode import _get_full_modname


def _add_back_anchors(app: Any, doctree: Any) -> None:
    modules = getattr(app.env, "_viewcode_modules", {})
    for signode in doctree.findall(addnodes.desc_signature):
        module, fullname = signode.get("module"), signode.get("fullname")
        if not module or not fullname:
            continue
        entry = modules.get(_get_full_modname(module, fullname) or "")
        if entry:
            anchor = f"{entry[3]}.{fullname}"
            if anchor not in signode["ids"]:
                signode["ids"].append(anchor)


def _drop_sourceless(app: Any) -> list[Any]:
    modules = getattr(app.env, "_viewcode_modules", {})
    for name in [name for name, entry in modules.items() if not entry]:
        del modules[name]
    return []


def setup(app: Any) -> dict[str, Any]:
    # After viewcode's own handlers of the same events (priority 500), which record the names.
    app.connect("doctree-read", _add_back_anchors, priority=600)
    app.connect("html-collect-pages", _drop_sourceless, priority=400)
    return {"parallel_read_safe": False}
