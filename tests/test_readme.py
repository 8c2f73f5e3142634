"""The README's code samples run as written."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_opens_with_the_two_setup_commands():
    text = README.read_text(encoding="utf-8")
    block = re.search(r"```sh\n(.*?)```", text, re.S).group(1).strip().splitlines()
    assert block == [
        "pip install . && python examples/quickstart.py",
        'pip install ".[test]" && python -m pytest tests -q',
    ]


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_sample_runs(code, capsys):
    exec(compile(code, str(README), "exec"), {})
    assert capsys.readouterr().out
