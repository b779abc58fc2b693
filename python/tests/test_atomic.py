import pytest

from vordakit.atomic import atomic_write


def test_failed_write_leaves_old_file_and_no_temp(tmp_path):
    target = tmp_path / "out.txt"
    target.write_text("old\n")
    with pytest.raises(RuntimeError):
        with atomic_write(target) as f:
            f.write("half")
            raise RuntimeError("stop")
    assert target.read_text() == "old\n"
    assert [p.name for p in tmp_path.iterdir()] == ["out.txt"]
    with atomic_write(target, newline="") as f:
        f.write("new\r\n")
    assert target.read_bytes() == b"new\r\n"


def test_failure_names_the_target_not_the_temporary_file(tmp_path):
    target = tmp_path / "adir"
    target.mkdir()
    with pytest.raises(OSError) as e:
        with atomic_write(target) as f:
            f.write("x")
    assert e.value.filename == str(target)
    assert [p.name for p in tmp_path.iterdir()] == ["adir"]
