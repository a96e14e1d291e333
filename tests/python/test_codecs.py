"""The dbc and sbf codecs through channels: frames to named fields and back, recordings, per-client streams."""

import math
import pathlib
import re
import socket
import struct

import pytest

import sigtap

DATA = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data"

DBC = """VERSION ""
BU_: ECU
BO_ 256 Engine: 8 ECU
 SG_ Speed : 0|16@1+ (0.25,0) [0|16383.75] "rpm" ECU
 SG_ Temp : 16|8@1+ (1,-40) [-40|215] "degC" ECU
 SG_ Gear : 24|4@1+ (1,0) [0|7] "" ECU
BO_ 2147484160 Ext: 12 ECU
 SG_ Level : 7|16@0- (1,0) [0|0] "" ECU
VAL_ 256 Gear 0 "Neutral" 3 "Third" ;
"""


@pytest.fixture
def dbc_codec(tmp_path):
    path = tmp_path / "car.dbc"
    path.write_text(DBC)
    return f"dbc:{path}"


def test_dbc_decodes_frames_and_encodes_by_name(bus, dbc_codec):
    with sigtap.open(bus) as raw, sigtap.open(bus, dbc_codec) as car:
        raw.send(sigtap.Message(data=bytes([0x10, 0x27, 90, 3, 0, 0, 0, 0]), id=0x100))
        msg = car.recv(1.0)
        assert (msg.name, msg.fields, msg.id) == ("Engine", {"Speed": 2500.0, "Temp": 50, "Gear": "Third"}, 0x100)

        car.send("Engine", {"Speed": 2500, "Temp": 50, "Gear": "Third"})
        frame = raw.recv(1.0)
        assert (frame.id, frame.extended, frame.fd, frame.data) == (0x100, False, False, bytes([0x10, 0x27, 90, 3, 0, 0, 0, 0]))

        # A 12-byte message is CAN FD: padded to its length.
        car.send("Ext", {"Level": -2})
        frame = raw.recv(1.0)
        assert (frame.id, frame.extended, frame.fd, frame.data) == (0x200, True, True, b"\xff\xfe" + bytes(10))
        raw.send(frame)
        assert car.recv(1.0).fields == {"Level": -2}

        # Unknown identifiers pass through undecoded; short frames fail with the decode text.
        raw.send(sigtap.Message(data=b"\x01", id=0x7FF))
        assert car.recv(1.0).name is None
        raw.send(sigtap.Message(data=b"\x01", id=0x100))
        with pytest.raises(sigtap.Error, match=r"^decode error: 1 bytes is too short for signal Speed of Engine \(8 bytes\)$"):
            car.recv(1.0)


@pytest.mark.parametrize("codec, options, text", [
    ("dbc", {}, 'the dbc codec needs a file: "dbc:path/to/file.dbc"'),
    ("dbc:{path}", {"foo": 1}, "the dbc codec does not take the option(s) foo"),
    ("sbf:", {}, "the sbf codec takes no argument"),
    ("sbf", {"strict": True}, "the sbf codec does not take the option(s) strict"),
])
def test_codec_open_errors(bus, tmp_path, codec, options, text):
    with pytest.raises(sigtap.Error, match="^" + re.escape(text) + "$"):
        sigtap.open(bus, codec.format(path=tmp_path / "x.dbc"), **options)


def test_dbc_encode_errors(bus, dbc_codec):
    with sigtap.open(bus, dbc_codec) as car:
        with pytest.raises(sigtap.Error, match=r"^encode error: signal Temp: 300 is above the maximum 215$"):
            car.send("Engine", {"Speed": 0, "Temp": 300, "Gear": 0})
        with pytest.raises(sigtap.Error, match=r'^no message named "Nope"$'):
            car.send("Nope", {})


def test_sbf_replays_a_real_recording(tmp_path):
    with sigtap.open(f"file://{DATA / 'sbf' / 'pysbf2' / 'sbfdata.log'}", "sbf") as replay:
        messages = list(replay)
    assert len(messages) == 232
    assert {m.name for m in messages} == {"PVTCartesian", "BaseVectorCart", "PosCovCartesian", "VelCovCartesian"}
    assert all(list(m.fields)[-1] == "revision" and m.data[:2] == b"$@" for m in messages)


def test_sbf_writes_and_reads_back_blocks(tmp_path):
    path = tmp_path / "track.sbf"
    fields = {"tow": 1000, "wnc": 2300, "mode": 4, "latitude": 0.8, "longitude": 0.15, "height": 410.5, "nr_sv": 12}
    with sigtap.open(f"file://{path}?write", "sbf") as out:
        out.send("PVTGeodetic", fields)
        out.send("AttEuler", {"tow": 1000, "wnc": 2300, "heading": 0.1})
        with pytest.raises(sigtap.Error, match=r"^encode error: field tow: 3.5 is out of range$"):
            out.send("AttEuler", {"tow": 3.5})
    assert path.stat().st_size == 96 + 44
    with sigtap.open(f"file://{path}", "sbf") as replay:
        pvt, att = list(replay)
    assert {k: pvt.fields[k] for k in fields} == fields
    assert (pvt.fields["mode_name"], pvt.fields["vn"], pvt.fields["revision"]) == ("RTK Fixed", None, 2)
    assert (att.name, att.fields["heading"], att.fields["pitch"], att.fields["revision"]) == ("AttEuler", 0.1, None, 1)


def test_sbf_frames_each_tcp_client_separately(tmp_path):
    stream = DATA.joinpath("sbf", "pysbf2", "sbfdata.log").read_bytes()[:2000]
    expected = list(_frames(stream))
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    with sigtap.open(f"tcp://127.0.0.1:{port}?listen", "sbf") as server:
        a = socket.create_connection(("127.0.0.1", port))
        b = socket.create_connection(("127.0.0.1", port))
        # Interleave the two streams in odd-sized chunks: each must frame on its own.
        for i in range(0, len(stream), 37):
            a.sendall(stream[i:i + 37])
            b.sendall(stream[i:i + 37])
        got = [server.recv(10.0) for _ in range(2 * len(expected))]
        a.close()
        b.close()
    assert all(m is not None and m.name != "Block0" for m in got)
    assert sorted(m.data for m in got) == sorted(expected * 2)


def _frames(data):
    """The whole blocks at the start of data (an independent, minimal framing)."""
    pos = 0
    while pos + 8 <= len(data) and data[pos:pos + 2] == b"$@":
        length = struct.unpack_from("<H", data, pos + 6)[0]
        if pos + length > len(data):
            return
        yield data[pos:pos + length]
        pos += length
