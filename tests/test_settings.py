"""The two one-character settings files."""
import pytest


@pytest.fixture
def settings(vx, tmp_path, monkeypatch):
    """Settings paths redirected into a private folder (files not yet created)."""
    monkeypatch.setattr(vx, "simple_mode_file_path", tmp_path / "simple_mode.txt")
    monkeypatch.setattr(vx, "language_select_file_path", tmp_path / "language.txt")
    return vx


@pytest.mark.parametrize("content, expected", [
    ("", 1), ("0", 0), ("01", 0), ("0\n", 0), ("False", 1), ("1", 1), ("x", 1),
])
def test_read_simple_mode_looks_at_first_character(settings, content, expected):
    settings.simple_mode_file_path.write_text(content)
    assert settings.read_simple_mode() == expected


@pytest.mark.parametrize("content, expected", [
    ("", 0), ("1", 1), ("10", 1), ("True", 0), ("0", 0), ("1\n", 1),
])
def test_read_language_looks_at_first_character(settings, content, expected):
    settings.language_select_file_path.write_text(content)
    assert settings.read_language() == expected


@pytest.mark.parametrize("reader, path, default", [
    ("read_simple_mode", "simple_mode_file_path", 1),
    ("read_language", "language_select_file_path", 0),
])
def test_reading_a_missing_file_creates_it_empty(settings, reader, path, default):
    result = getattr(settings, reader)()
    assert type(result) is int and result == default
    assert getattr(settings, path).read_bytes() == b""


@pytest.mark.parametrize("recorder, reader, path, value, expected", [
    ("record_simple_mode", "read_simple_mode", "simple_mode_file_path", 0, 0),
    ("record_simple_mode", "read_simple_mode", "simple_mode_file_path", 1, 1),
    ("record_language_selection", "read_language", "language_select_file_path", 1, 1),
    ("record_language_selection", "read_language", "language_select_file_path", 0, 0),
])
def test_record_then_read(settings, recorder, reader, path, value, expected):
    getattr(settings, path).write_text("something longer")
    assert getattr(settings, recorder)(value) is None
    assert getattr(settings, path).read_text() == str(value)
    assert getattr(settings, reader)() == expected


def test_record_writes_str_of_value_by_keyword(settings):
    settings.record_simple_mode(mode=True)
    settings.record_language_selection(language_select=12)
    assert settings.simple_mode_file_path.read_text() == "True"
    assert settings.language_select_file_path.read_text() == "12"


def test_undecodable_first_character_raises(settings):
    settings.language_select_file_path.write_bytes(b"\xff")
    with pytest.raises(UnicodeDecodeError):
        settings.read_language()


def test_settings_paths_are_read_at_call_time(child):
    proc = child.run("""
        import vardex
        from pathlib import Path
        vardex.simple_mode_file_path = Path("elsewhere.txt")
        vardex.record_simple_mode(0)
        print(vardex.read_simple_mode(), Path("elsewhere.txt").read_text())
        """)
    assert proc.stdout == "0 0\n"
    assert (child.data_dir / "simple_mode.txt").read_text() == ""
