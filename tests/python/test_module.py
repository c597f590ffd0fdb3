import pytest

import tolvanex


def test_text_signatures():
    assert tolvanex.scan.__text_signature__ == "(paths, recursive=True, include_paths=False, summary=False)"
    assert tolvanex.inspect.__text_signature__ == '(path, format="auto", include_paths=False, summary=False)'


def test_empty_scan_is_an_empty_list():
    assert tolvanex.scan([]) == []
