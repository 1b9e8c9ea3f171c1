"""The two one-character settings files."""
import pytest

SETTINGS = {"simple": ("simple_mode_file_path", "read_simple_mode", "record_simple_mode", "mode"),
            "language": ("language_select_file_path", "read_language",
                         "record_language_selection", "language_select")}


@pytest.fixture
def settings(vx, tmp_path, monkeypatch):
    """Settings paths redirected into a private folder (files not yet created)."""
    monkeypatch.setattr(vx, "simple_mode_file_path", tmp_path / "simple_mode.txt")
    monkeypatch.setattr(vx, "language_select_file_path", tmp_path / "language.txt")
    return vx


@pytest.mark.parametrize("which, content, expected", [
    ("simple", None, 1), ("simple", "", 1), ("simple", "0", 0), ("simple", "01", 0),
    ("simple", "0\n", 0), ("simple", "False", 1), ("simple", "1", 1),
    ("language", None, 0), ("language", "", 0), ("language", "1", 1), ("language", "10", 1),
    ("language", "True", 0), ("language", "0", 0),
])
def test_read_looks_at_first_character_only(settings, which, content, expected):
    path, reader, _, _ = SETTINGS[which]
    if content is not None:
        getattr(settings, path).write_text(content)
    result = getattr(settings, reader)()
    assert type(result) is int and result == expected
    assert getattr(settings, path).read_text() == (content or "")  # a missing file is created


@pytest.mark.parametrize("which", SETTINGS)
@pytest.mark.parametrize("value, text, read_back", [(0, "0", 0), (1, "1", 1), (True, "True", None)])
def test_record_writes_str_of_value_then_read(settings, which, value, text, read_back):
    path, reader, recorder, keyword = SETTINGS[which]
    getattr(settings, path).write_text("something longer")
    assert getattr(settings, recorder)(**{keyword: value}) is None
    assert getattr(settings, path).read_text() == text
    if read_back is not None:
        assert getattr(settings, reader)() == read_back


def test_undecodable_first_character_raises(settings):
    settings.language_select_file_path.write_bytes(b"\xff")
    with pytest.raises(UnicodeDecodeError):
        settings.read_language()


def test_settings_paths_are_read_at_call_time(child):
    proc = child.run("""
        import vardex, pathlib
        vardex.simple_mode_file_path = pathlib.Path("elsewhere.txt")
        vardex.record_simple_mode(0)
        print(vardex.read_simple_mode(), open("elsewhere.txt").read())
        """)
    assert proc.stdout == "0 0\n"
    assert (child.data_dir / "simple_mode.txt").read_text() == ""
