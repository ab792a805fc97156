import pytest

import velmira_ext

INT_WORD = {"integer": [r"-?\d+"], "word": [r"[a-z]+"]}


class Runner:
    """Writes a CSV into a temporary folder and runs passes over it."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.count = 0

    def write(self, data, name=None):
        self.count += 1
        path = self.tmp_path / (name or f"in{self.count}.csv")
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
        return path

    def inf(self, path, patterns=INT_WORD, na=frozenset({""}), multithreading=False,
            types_file=None, window=1000, delimiter=","):
        return velmira_ext.Inf(str(path), delimiter, dict(patterns), set(na), multithreading,
                               types_file is not None, str(types_file or ""), window)

    def run(self, data, **kwargs):
        """One pass over `data`; returns (inf, types file text or None)."""
        path = self.write(data)
        types_file = self.tmp_path / f"types{self.count}.csv"
        inf = self.inf(path, types_file=types_file, **kwargs)
        inf.infer_types()
        return inf, types_file.read_bytes().decode(errors="surrogateescape")


@pytest.fixture
def runner(tmp_path):
    return Runner(tmp_path)


@pytest.fixture(params=[False, True], ids=["single", "threads"])
def multithreading(request):
    return request.param
