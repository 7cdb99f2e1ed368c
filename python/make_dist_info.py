#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""make_dist_info.py - writes the installed-package metadata of vornmgr
(NAME-VERSION.dist-info: METADATA, INSTALLER, top_level.txt) from
pyproject.toml, for an installation that copies the package's files itself,
as the tree's CMake rules do, so that importlib.metadata finds it.

Usage: make_dist_info.py OUT_DIR [EXPECTED_VERSION]
Fails when pyproject.toml, vornmgr.__version__ and EXPECTED_VERSION (the
CMake project's) disagree.
"""
import pathlib
import re
import sys
import tomllib

HERE = pathlib.Path(__file__).resolve().parent


def main(out_dir, expected=None):
    project = tomllib.loads((HERE / "pyproject.toml").read_text())["project"]
    version = project["version"]
    in_package = re.search(r'^__version__ = "([^"]+)"$', (HERE / "vornmgr" / "__init__.py").read_text(), re.M)
    for where, other in (("vornmgr.__version__", in_package and in_package.group(1)), ("the project", expected)):
        if other is not None and other != version:
            sys.exit(f"make_dist_info.py: pyproject.toml says version {version}, {where} {other}")
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {version}",
             f"Summary: {project['description']}", f"License: {project['license']['text']}",
             f"Requires-Python: {project['requires-python']}"]
    lines += [f"Classifier: {classifier}" for classifier in project.get("classifiers", [])]
    dist_info = pathlib.Path(out_dir) / f"{project['name']}-{version}.dist-info"
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text("\n".join(lines) + "\n")
    (dist_info / "INSTALLER").write_text("cmake\n")
    (dist_info / "top_level.txt").write_text("vornmgr\n")
    return dist_info


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    print(main(*sys.argv[1:]))
