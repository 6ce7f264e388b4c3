import logging
import subprocess
import sys

import pytest
import qel
from qel_files import QelFile, channel

ZERO_LENGTH = "channel 0: zero-length block (non-conforming writer output); block skipped"
UNKNOWN_FIELD = 'channel "c": field "zzz" is not known to this build; ignored'


def noisy_file(tmp_path, zero_length_blocks: int = 2) -> str:
    file = QelFile([channel(0, "c", "double", zzz=1)])
    for _ in range(zero_length_blocks):
        file.frame(0, None)
    return file.write(tmp_path / "noisy.qel")


def test_nothing_is_printed_without_logging_configuration(tmp_path):
    script = f"import qel; print(len(qel.load({noisy_file(tmp_path)!r})))"
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert (run.stdout, run.stderr) == ("1\n", "")


DEBUG = ("qel_core.meta_json", logging.DEBUG, UNKNOWN_FIELD)
WARNING = ("qel_core.reader", logging.WARNING, ZERO_LENGTH)


@pytest.mark.parametrize(
    ("level", "expected"),
    [
        (logging.DEBUG, [DEBUG, WARNING, WARNING]),
        (logging.WARNING, [WARNING] * 2),
        (logging.ERROR, []),
    ],
)
def test_records_reach_handlers_in_order(tmp_path, caplog, level, expected):
    caplog.set_level(level)
    qel.load(noisy_file(tmp_path))
    assert caplog.record_tuples == expected


def test_records_of_one_call_are_capped(tmp_path, caplog):
    caplog.set_level(logging.WARNING, logger="qel_core.reader")
    qel.load(noisy_file(tmp_path, zero_length_blocks=10_003))
    records = caplog.record_tuples
    assert len(records) == 10_001
    assert records[9_999] == WARNING
    assert records[-1] == (
        "qel_core.reader",
        logging.WARNING,
        "3 further log records of this call were dropped (limit 10000 records or 16 MiB)",
    )


def test_records_are_kept_when_the_load_fails(tmp_path, caplog):
    caplog.set_level(logging.WARNING)
    path = tmp_path / "bad.qel"
    path.write_bytes(QelFile([channel(0, "c", "double")]).frame(0, None).frame(9, 6).to_bytes())
    with pytest.raises(qel.QelError, match="unknown channel index 9"):
        qel.load(str(path))
    assert caplog.record_tuples == [WARNING]
