"""The README's Python examples run as written."""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def python_blocks(section):
    """The ```python blocks of the README section headed ``### section``."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    start = text.index(f"\n### {section}\n")
    end = min((i for i in (text.find("\n### ", start + 1), text.find("\n## ", start + 1))
               if i >= 0), default=len(text))
    return re.findall(r"^```python\n(.*?)^```", text[start:end], flags=re.M | re.S)


def test_quick_usage_and_forest_examples_run(tmp_path):
    # The forest example goes on with the quick usage's data.
    blocks = python_blocks("Quick usage") + python_blocks("Forests")
    assert len(blocks) == 2
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"), MPLBACKEND="Agg")
    result = subprocess.run([sys.executable, "-c", "\n".join(blocks)], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert sorted(path.name for path in tmp_path.iterdir()) == ["forest.quor", "model.quor"]
