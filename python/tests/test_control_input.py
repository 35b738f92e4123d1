"""The control-input helpers on Python files, paths and strings: the next data line and the lines
it skips, comments stripped to their field, and the check of a named input file."""

import io

import pytest

import quelby


def test_control_input_helpers_on_files_and_paths(tmp_path):
    text = "! comment\n%also\n\n \t\n  ! data after a blank\nsecond 1 2 ! tail\n"
    path = tmp_path / "control.txt"
    path.write_text(text)
    handle = io.StringIO(text)
    first = quelby.next_data_line(handle)
    assert first == ("  ! data after a blank", 5)
    assert quelby.next_data_line(handle) == ("second 1 2 ! tail", 1)
    assert quelby.next_data_line(handle) == (None, 1)  # the read that meets the end counts
    assert quelby.next_data_line(path) == first
    assert quelby.next_data_line(io.StringIO("abcdef\n"), length=3) == ("abc", 1)
    with pytest.raises(FileNotFoundError):
        quelby.next_data_line(tmp_path / "absent.txt")

    for line, expected in [("second 1 2 ! tail", "second 1 2       "), ("no comment", "no comment"),
                           ("!all", "    "), ("", "")]:
        assert quelby.strip_comment(line) == expected
    assert quelby.strip_comment("ab", length=5) == "ab   "
    assert quelby.strip_comment("a!b", length=1) == "a"
    with pytest.raises(ValueError):
        quelby.strip_comment("a", length=0)

    console, log = io.StringIO(), io.StringIO()
    streams = quelby.Io(console=console, log=log)
    assert quelby.read_input_file_name("mesh", str(path) + "   ", io=streams) == (str(path), True)
    assert console.getvalue() == ""
    assert quelby.read_input_file_name("mesh", "absent.msh", io=streams) == ("absent.msh", False)
    assert console.getvalue() == "\nError: mesh file does not exist:\nabsent.msh\n"
    assert log.getvalue() == console.getvalue()
