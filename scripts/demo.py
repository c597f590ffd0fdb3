"""Generates a few sample files in a temporary directory and prints what tolvanex makes of them."""

import json
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "build" / "python"))

import tolvanex  # noqa: E402

with tempfile.TemporaryDirectory() as tmp:
    root = pathlib.Path(tmp)
    (root / "notes.txt").write_text("not a model\n")
    found = tolvanex.scan([str(root)], include_paths=False)
    print(json.dumps(found, indent=2))
