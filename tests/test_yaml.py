"""YAML through the engine: merge keys survive a save, foreign tags are refused."""
import pytest
import yaml

from zub import ZubSettingEngine


def test_merge_key_is_a_member_and_merging_readers_still_merge_after_sync(tmp_path):
    path = tmp_path / "c.yaml"
    path.write_text("base: &b {x: 1}\nderived:\n  <<: *b\n  y: 2\n", encoding="utf-8")
    e = ZubSettingEngine(str(path), "yaml")
    assert e.value("derived") == {"<<": {"x": 1}, "y": 2}
    e.sync()
    text = path.read_text(encoding="utf-8")
    assert "\n  <<:\n" in text
    assert yaml.safe_load(text)["derived"] == {"x": 1, "y": 2}
    assert ZubSettingEngine(str(path), "yaml").value("") == e.value("")


@pytest.mark.parametrize("text, message", [
    ("Value: !Ref MyBucket\n", "YAML parse error: tag !Ref is not supported (only the YAML core schema's tags are) "
                               "at line 1 column 8"),
    ("- ok\n- !!binary aGVsbG8=\n", "YAML parse error: tag !!binary is not supported (only the YAML core schema's "
                                    "tags are) at line 2 column 3"),
])
def test_tags_the_tree_cannot_hold_are_refused(tmp_path, text, message):
    path = tmp_path / "t.yaml"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(TypeError) as err:
        ZubSettingEngine(str(path), "yaml")
    assert str(err.value) == message
